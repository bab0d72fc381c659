#include "app/sample_ring.h"

#include <algorithm>

SampleRing::SampleRing(std::size_t capacity) : m_data(capacity, 0.0f) {}

void SampleRing::append(std::span<const float> recording)
{
    const std::size_t capacity = m_data.size();
    if (capacity == 0)
        return;
    if (recording.size() >= capacity) {
        std::copy(recording.end() - static_cast<std::ptrdiff_t>(capacity), recording.end(), m_data.begin());
        m_oldest = 0;
        m_size = capacity;
        return;
    }
    // Written at the end of what is kept, wrapping round to the start of the memory.
    const std::size_t end = (m_oldest + m_size) % capacity;
    const std::size_t first = std::min(recording.size(), capacity - end);
    std::copy_n(recording.begin(), first, m_data.begin() + static_cast<std::ptrdiff_t>(end));
    std::copy(recording.begin() + static_cast<std::ptrdiff_t>(first), recording.end(), m_data.begin());
    m_size += recording.size();
    if (m_size > capacity) {
        m_oldest = (m_oldest + m_size - capacity) % capacity;
        m_size = capacity;
    }
}

std::vector<float> SampleRing::latest(std::size_t count) const
{
    const std::size_t capacity = m_data.size();
    count = std::min(count, m_size);
    std::vector<float> out(count);
    if (count == 0)
        return out;
    const std::size_t from = (m_oldest + m_size - count) % capacity;
    const std::size_t first = std::min(count, capacity - from);
    std::copy_n(m_data.begin() + static_cast<std::ptrdiff_t>(from), first, out.begin());
    std::copy_n(m_data.begin(), count - first, out.begin() + static_cast<std::ptrdiff_t>(first));
    return out;
}
