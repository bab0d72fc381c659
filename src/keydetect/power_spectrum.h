#pragma once

#include <cstddef>
#include <span>
#include <vector>

// A forward real FFT of one power-of-two size whose powers are laid out as a packed real FFT
// gives them: powers[k] = re² + im² for k = 1 … N/2 − 1, and powers[0] = DC² + Nyquist²
// (the two real terms the packed form stores together). Single precision.
//
// Each object owns its plan, created with FFTW_ESTIMATE; plan creation and destruction hold
// the program's one FFTW planner lock (core/fftw_planner_lock.h), so objects may be created
// and destroyed on any thread. One object is used by one thread at a time.
class PowerSpectrum {
public:
    explicit PowerSpectrum(int log2Size);
    ~PowerSpectrum();
    PowerSpectrum(const PowerSpectrum&) = delete;
    PowerSpectrum& operator=(const PowerSpectrum&) = delete;

    // False when the FFT set-up could not be created.
    bool isValid() const { return m_plan != nullptr; }
    size_t size() const { return m_size; }
    // The size() input samples of the next transform.
    std::span<float> input() { return {m_input, m_size}; }
    // Transforms input() and writes size()/2 powers.
    void compute(std::vector<float>& powers);

private:
    size_t m_size;
    float* m_input = nullptr;
    void* m_output = nullptr;
    void* m_plan = nullptr;
};

// The periodic Hann window scaled to unit mean square: 0.8165·(1 − cos(2πn/N)).
// The table for each size is built once, thread-safely.
std::span<const float> normalizedHannWindow(int log2Size);
