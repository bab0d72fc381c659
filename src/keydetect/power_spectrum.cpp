#include "keydetect/power_spectrum.h"

#include "core/fftw_planner_lock.h"

#include <array>
#include <cmath>
#include <fftw3.h>
#include <memory>
#include <mutex>
#include <numbers>

PowerSpectrum::PowerSpectrum(int log2Size) : m_size(size_t{1} << log2Size)
{
    m_input = fftwf_alloc_real(m_size);
    auto* output = fftwf_alloc_complex(m_size / 2 + 1);
    m_output = output;
    if (!m_input || !output)
        return;
    std::lock_guard lock(fftwPlannerMutex());
    m_plan = fftwf_plan_dft_r2c_1d(static_cast<int>(m_size), m_input, output, FFTW_ESTIMATE);
}

PowerSpectrum::~PowerSpectrum()
{
    if (m_plan) {
        std::lock_guard lock(fftwPlannerMutex());
        fftwf_destroy_plan(static_cast<fftwf_plan>(m_plan));
    }
    fftwf_free(m_output);
    fftwf_free(m_input);
}

void PowerSpectrum::compute(std::vector<float>& powers)
{
    fftwf_execute(static_cast<fftwf_plan>(m_plan));
    const auto* out = static_cast<const fftwf_complex*>(m_output);
    const size_t half = m_size / 2;
    powers.resize(half);
    powers[0] = out[0][0] * out[0][0] + out[half][0] * out[half][0];
    for (size_t k = 1; k < half; ++k)
        powers[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
}

std::span<const float> normalizedHannWindow(int log2Size)
{
    // Sizes up to 2^16 are enough for every detector here.
    constexpr int kMaxLog2 = 16;
    static std::array<std::vector<float>, kMaxLog2 + 1> tables;
    static std::array<std::once_flag, kMaxLog2 + 1> built;
    if (log2Size < 0 || log2Size > kMaxLog2)
        return {};
    std::call_once(built[static_cast<size_t>(log2Size)], [log2Size] {
        const size_t n = size_t{1} << log2Size;
        std::vector<float>& w = tables[static_cast<size_t>(log2Size)];
        w.resize(n);
        for (size_t i = 0; i < n; ++i)
            w[i] = static_cast<float>(
                0.8165 *
                (1.0 - std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n))));
    });
    return tables[static_cast<size_t>(log2Size)];
}
