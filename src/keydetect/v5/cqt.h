#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// The constant-Q front end of the neural key detector: 320 centred frames of 8192
// samples (hop 2048, no window function) of 30 s of 22050 Hz audio, an FFT each, and
// the magnitude of the spectrum weighted by each of the 72 semitone kernels, scaled to
// 0..1 over an 80 dB range (log10 of the magnitude relative to the loudest cell).

// The kernels: 72 rows of 4097 complex weights for the one-sided spectrum of a plain
// (unscaled) DFT, as FFTW's r2c transform computes it. Immutable once built; safe to
// share between threads.
class CqtBasis {
public:
    // The weights of one row lie almost all in one band around the row's centre
    // frequency; the band keeps every weight of at least this fraction of the row's
    // largest one, and the sparse computation reads only the band (62 % of all
    // weights). Hann sidelobes fall slowly, and a cell 80 dB below the loudest one
    // must still come out within 1e-4 of the dense value, hence the tiny fraction.
    static constexpr float kSupportThreshold = 3e-8f;

    struct Band {
        int begin = 0; // first spectrum bin
        int end = 0;   // one past the last
    };

    // Reads the basis file (memory-mapped): 589968 little-endian floats, interleaved
    // (real, imaginary), bin-major. On failure returns nothing and sets `error`: a
    // missing or unreadable file, or any size other than 2359872 bytes.
    static std::optional<CqtBasis> load(const QString& path, QString* error);
    // The same layout from memory; nothing unless it holds exactly 589968 floats.
    static std::optional<CqtBasis> fromInterleaved(std::span<const float> interleaved);

    const std::vector<float>& basisReal() const { return m_real; }
    const std::vector<float>& basisImag() const { return m_imag; }
    Band band(int bin) const { return m_bands[bin]; }

private:
    CqtBasis() = default;
    std::vector<float> m_real;
    std::vector<float> m_imag;
    std::vector<Band> m_bands;
};

enum class KernelSupport {
    sparse, // only each row's band
    dense,  // all 4097 weights of every row
};

// Holds the FFT plan and scratch buffers. Not thread-safe: one instance per thread
// (the detector keeps one on its serial executor). Construction and destruction may run
// on any thread: they plan under the program's one FFTW planner lock.
class CqtFrontEnd {
public:
    CqtFrontEnd();
    ~CqtFrontEnd();
    CqtFrontEnd(const CqtFrontEnd&) = delete;
    CqtFrontEnd& operator=(const CqtFrontEnd&) = delete;

    // Magnitudes C[bin][frame], bin-major, 72 x 320; frames past the input's last
    // (count / 2048 + 1 of them are computed) stay 0. Empty for empty input.
    std::vector<float> magnitudes(std::span<const float> samples22k, const CqtBasis& basis,
                                  KernelSupport support = KernelSupport::sparse);

    // The 23040 features, bin-major, in 0..1; empty for empty input.
    std::vector<float> features(std::span<const float> samples22k, const CqtBasis& basis,
                                KernelSupport support = KernelSupport::sparse);

    // Just the frame FFTs of `magnitudes`, for measuring their share of the cost.
    void transformsOnly(std::span<const float> samples22k);

private:
    static constexpr int kFrameBlock = 16;
    struct Fft;
    int frameCount(std::size_t samples) const;
    // FFT of frame `frame` into spectrum slot `slot` of the block buffers.
    void transformFrame(std::span<const float> samples, int frame, int slot);
    std::unique_ptr<Fft> m_fft;
    std::vector<float> m_re;
    std::vector<float> m_im;
};

// Log scaling of magnitudes (72 x 320, bin-major) of which the first `frames` frames
// are valid: 0 at or below 1/10000 of the largest cell (the largest starts at 1e-5),
// else (log10 C - log10 max) / 4 + 1.
std::vector<float> scaleMagnitudes(std::span<const float> magnitudes, int frames);
