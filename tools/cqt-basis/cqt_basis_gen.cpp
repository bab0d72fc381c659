// Writes the neural key detector's constant-Q basis: for each of the 72 semitone bins
// the spectral kernel of a Hann-windowed complex exponential at the bin's centre
// frequency, conjugated and scaled so that summing an 8192-point one-sided spectrum
// (plain DFT, FFTW's r2c convention) against it yields that bin's constant-Q value.
// Output: 72 x 4097 complex weights as interleaved (real, imaginary) little-endian
// float32, bin-major. Deterministic: FFTW_ESTIMATE plans and fixed arithmetic only.
#include "keydetect/v5/cqt_layout.h"

#include <bit>
#include <cmath>
#include <complex>
#include <cstdio>
#include <fftw3.h>
#include <numbers>
#include <vector>

static_assert(std::endian::native == std::endian::little, "the basis file is little-endian");

namespace {

using namespace cqt_layout;

// Kernel of one bin, centred in the frame: w[n] / N * exp(2 pi i f (n - N/2) / sr).
void fillTemporalKernel(int bin, fftw_complex* frame)
{
    const double f = binFrequencyHz(bin);
    const int length = static_cast<int>(std::lround(qualityFactor() * kSampleRate / f));
    const int start = (kFftSize - length) / 2;
    for (int i = 0; i < kFftSize; ++i)
        frame[i][0] = frame[i][1] = 0.0;
    for (int n = 0; n < length; ++n) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (n + 0.5) / length);
        const double phase = 2.0 * std::numbers::pi * f * (n - length / 2.0) / kSampleRate;
        frame[start + n][0] = window / length * std::cos(phase);
        frame[start + n][1] = window / length * std::sin(phase);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.f32\n", argv[0]);
        return 2;
    }
    fftw_complex* time = fftw_alloc_complex(kFftSize);
    fftw_complex* spectrum = fftw_alloc_complex(kFftSize);
    fftw_plan plan = fftw_plan_dft_1d(kFftSize, time, spectrum, FFTW_FORWARD, FFTW_ESTIMATE);

    // Parseval: sum_n x[n] conj(h[n]) = 1/N sum_k X[k] conj(H[k]). The kernels live at
    // positive frequencies, so the one-sided half of the sum carries all but their
    // negligible negative-frequency leakage.
    std::vector<float> interleaved(kBasisWeights * 2);
    for (int bin = 0; bin < kBins; ++bin) {
        fillTemporalKernel(bin, time);
        fftw_execute(plan);
        for (int k = 0; k < kSpectrumBins; ++k) {
            const std::size_t i = std::size_t(bin) * kSpectrumBins + k;
            interleaved[2 * i] = static_cast<float>(spectrum[k][0] / kFftSize);
            interleaved[2 * i + 1] = static_cast<float>(-spectrum[k][1] / kFftSize);
        }
    }
    fftw_destroy_plan(plan);
    fftw_free(time);
    fftw_free(spectrum);

    const char* path = argv[1];
    std::FILE* out = std::fopen(path, "wb");
    if (!out) {
        std::perror(path);
        return 1;
    }
    const bool written =
        std::fwrite(interleaved.data(), sizeof(float), interleaved.size(), out) == interleaved.size();
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "%s: write failed\n", path);
        std::remove(path);
        return 1;
    }
    return 0;
}
