#include "keydetect/v5/cqt.h"

#include "core/fftw_planner_lock.h"
#include "keydetect/v5/cqt_layout.h"
#include "keydetect/v5/file_errors.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fftw3.h>
#include <mutex>

using namespace cqt_layout;

namespace {

// The hot loop of the detector: on x86-64 an AVX2/FMA clone is picked at load time
// where the processor has it.
#if defined(__x86_64__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
float magnitudeOfProduct(const float* xr, const float* xi, const float* wr, const float* wi, int begin, int end)
{
    float rr = 0, ii = 0, ri = 0, ir = 0;
#pragma omp simd reduction(+ : rr, ii, ri, ir)
    for (int k = begin; k < end; ++k) {
        rr += xr[k] * wr[k];
        ii += xi[k] * wi[k];
        ri += xr[k] * wi[k];
        ir += xi[k] * wr[k];
    }
    return std::hypot(rr - ii, ri + ir);
}

} // namespace

std::optional<CqtBasis> CqtBasis::fromInterleaved(std::span<const float> interleaved)
{
    if (interleaved.size() != kBasisWeights * 2)
        return std::nullopt;
    CqtBasis basis;
    basis.m_real.resize(kBasisWeights);
    basis.m_imag.resize(kBasisWeights);
    for (std::size_t i = 0; i < kBasisWeights; ++i) {
        basis.m_real[i] = interleaved[2 * i];
        basis.m_imag[i] = interleaved[2 * i + 1];
    }
    basis.m_bands.resize(kBins);
    for (int b = 0; b < kBins; ++b) {
        const float* re = basis.m_real.data() + std::size_t(b) * kSpectrumBins;
        const float* im = basis.m_imag.data() + std::size_t(b) * kSpectrumBins;
        float peak = 0;
        for (int k = 0; k < kSpectrumBins; ++k)
            peak = std::max(peak, std::hypot(re[k], im[k]));
        const float floor = peak * kSupportThreshold;
        Band band{kSpectrumBins, 0};
        for (int k = 0; k < kSpectrumBins; ++k) {
            if (std::hypot(re[k], im[k]) >= floor && peak > 0) {
                band.begin = std::min(band.begin, k);
                band.end = k + 1;
            }
        }
        basis.m_bands[b] = band.end > band.begin ? band : Band{0, 0};
    }
    return basis;
}

std::optional<CqtBasis> CqtBasis::load(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.exists()) {
        *error = file_errors::noSuchFile(path);
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("The file “%1” couldn’t be opened: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    if (file.size() != static_cast<qint64>(kBasisFileBytes)) {
        *error = QStringLiteral("The file “%1” couldn’t be opened because it isn’t in the correct format "
                                "(%2 bytes, expected %3).")
                     .arg(path)
                     .arg(file.size())
                     .arg(kBasisFileBytes);
        return std::nullopt;
    }
    std::vector<float> copy;
    const float* data = nullptr;
    if (uchar* mapped = file.map(0, file.size())) {
        data = reinterpret_cast<const float*>(mapped);
    } else {
        copy.resize(kBasisWeights * 2);
        const QByteArray bytes = file.readAll();
        if (bytes.size() != static_cast<qsizetype>(kBasisFileBytes)) {
            *error = QStringLiteral("The file “%1” couldn’t be read: %2").arg(path, file.errorString());
            return std::nullopt;
        }
        std::memcpy(copy.data(), bytes.constData(), kBasisFileBytes);
        data = copy.data();
    }
    return fromInterleaved({data, kBasisWeights * 2});
}

struct CqtFrontEnd::Fft {
    float* in = nullptr;
    fftwf_complex* out = nullptr;
    fftwf_plan plan = nullptr;
};

CqtFrontEnd::CqtFrontEnd()
    : m_fft(std::make_unique<Fft>()), m_re(std::size_t(kFrameBlock) * kSpectrumBins),
      m_im(std::size_t(kFrameBlock) * kSpectrumBins)
{
    std::lock_guard lock(fftwPlannerMutex());
    m_fft->in = fftwf_alloc_real(kFftSize);
    m_fft->out = fftwf_alloc_complex(kSpectrumBins);
    m_fft->plan = fftwf_plan_dft_r2c_1d(kFftSize, m_fft->in, m_fft->out, FFTW_ESTIMATE);
}

CqtFrontEnd::~CqtFrontEnd()
{
    std::lock_guard lock(fftwPlannerMutex());
    fftwf_destroy_plan(m_fft->plan);
    fftwf_free(m_fft->in);
    fftwf_free(m_fft->out);
}

int CqtFrontEnd::frameCount(std::size_t samples) const
{
    return static_cast<int>(std::min<std::size_t>(samples / kHop + 1, kFrames));
}

void CqtFrontEnd::transformFrame(std::span<const float> samples, int frame, int slot)
{
    // Frame t is centred on sample t * hop; outside the input it reads zeros.
    const long long first = static_cast<long long>(frame) * kHop - kFftSize / 2;
    const long long count = static_cast<long long>(samples.size());
    const long long from = std::max(0LL, first);
    const long long to = std::min(count, first + kFftSize);
    std::fill(m_fft->in, m_fft->in + kFftSize, 0.0f);
    if (to > from)
        std::copy(samples.begin() + from, samples.begin() + to, m_fft->in + (from - first));
    fftwf_execute(m_fft->plan);
    float* re = m_re.data() + std::size_t(slot) * kSpectrumBins;
    float* im = m_im.data() + std::size_t(slot) * kSpectrumBins;
    for (int k = 0; k < kSpectrumBins; ++k) {
        re[k] = m_fft->out[k][0];
        im[k] = m_fft->out[k][1];
    }
    im[0] = 0;
    im[kSpectrumBins - 1] = 0;
}

std::vector<float> CqtFrontEnd::magnitudes(std::span<const float> samples22k, const CqtBasis& basis,
                                           KernelSupport support)
{
    if (samples22k.empty())
        return {};
    std::vector<float> out(kFeatureCount, 0.0f);
    const int frames = frameCount(samples22k.size());
    // Frames go in blocks so that each kernel row is read from memory once per block
    // rather than once per frame: the basis (2.25 MiB) does not fit the caches.
    for (int t0 = 0; t0 < frames; t0 += kFrameBlock) {
        const int block = std::min(kFrameBlock, frames - t0);
        for (int j = 0; j < block; ++j)
            transformFrame(samples22k, t0 + j, j);
        for (int b = 0; b < kBins; ++b) {
            CqtBasis::Band band{0, kSpectrumBins};
            switch (support) {
            case KernelSupport::sparse:
                band = basis.band(b);
                break;
            case KernelSupport::dense:
                break;
            }
            const std::size_t row = std::size_t(b) * kSpectrumBins;
            for (int j = 0; j < block; ++j) {
                out[std::size_t(b) * kFrames + t0 + j] = magnitudeOfProduct(
                    m_re.data() + std::size_t(j) * kSpectrumBins,
                    m_im.data() + std::size_t(j) * kSpectrumBins, basis.basisReal().data() + row,
                    basis.basisImag().data() + row, band.begin, band.end);
            }
        }
    }
    return out;
}

std::vector<float> CqtFrontEnd::features(std::span<const float> samples22k, const CqtBasis& basis,
                                         KernelSupport support)
{
    const std::vector<float> c = magnitudes(samples22k, basis, support);
    if (c.empty())
        return {};
    return scaleMagnitudes(c, frameCount(samples22k.size()));
}

void CqtFrontEnd::transformsOnly(std::span<const float> samples22k)
{
    const int frames = samples22k.empty() ? 0 : frameCount(samples22k.size());
    for (int t = 0; t < frames; ++t)
        transformFrame(samples22k, t, 0);
}

std::vector<float> scaleMagnitudes(std::span<const float> magnitudes, int frames)
{
    float peak = 1e-5f;
    for (int b = 0; b < kBins; ++b) {
        for (int t = 0; t < frames; ++t)
            peak = std::max(peak, magnitudes[std::size_t(b) * kFrames + t]);
    }
    const float floor = peak / 10000.0f;
    const float logPeak = std::log10(peak);
    std::vector<float> out(kFeatureCount, 0.0f);
    for (int b = 0; b < kBins; ++b) {
        for (int t = 0; t < frames; ++t) {
            const float c = magnitudes[std::size_t(b) * kFrames + t];
            if (c > floor)
                out[std::size_t(b) * kFrames + t] = (std::log10(c) - logPeak) * 0.25f + 1.0f;
        }
    }
    return out;
}
