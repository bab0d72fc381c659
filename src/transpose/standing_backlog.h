#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

// Decides how much of a queue to drop so that its delay stays bounded without dropping on
// jitter: only the surplus that stayed queued through a whole window of reads (the smallest
// surplus seen in it) is dropped beyond the target, so two clocks that agree never lose a
// frame, and one that runs ahead loses a few frames once per window. A surplus beyond the
// hard limit (a stall, a start with a backlog) is dropped down to the target at once.
class StandingBacklog {
public:
    StandingBacklog(int64_t target, int64_t windowFrames, int64_t hardLimit)
        : m_target(target), m_window(windowFrames), m_hardLimit(std::max(hardLimit, target))
    {}

    // `surplus`: frames queued beyond what this read takes; `frames`: what it takes. Returns
    // the frames to drop (oldest first) before it.
    int64_t excess(int64_t surplus, int64_t frames)
    {
        if (surplus > m_hardLimit) {
            reset();
            return surplus - m_target;
        }
        m_smallest = std::min(m_smallest, surplus);
        m_counted += frames;
        if (m_counted < m_window)
            return 0;
        const int64_t drop = std::clamp<int64_t>(m_smallest - m_target, 0, std::max<int64_t>(surplus, 0));
        reset();
        return drop;
    }

    void reset()
    {
        m_smallest = std::numeric_limits<int64_t>::max();
        m_counted = 0;
    }

    int64_t target() const { return m_target; }
    int64_t hardLimit() const { return m_hardLimit; }

private:
    int64_t m_target, m_window, m_hardLimit;
    int64_t m_smallest = std::numeric_limits<int64_t>::max();
    int64_t m_counted = 0;
};
