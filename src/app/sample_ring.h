#pragma once

#include <cstddef>
#include <span>
#include <vector>

// The newest `capacity` samples of a stream of recordings, in memory allocated once: an
// append copies the recording and nothing else, however long the stream has run (a growing
// list would copy everything it holds whenever it grows, and again when it drops its oldest).
//
// The constructor allocates and touches the whole capacity (60 s of 44.1 kHz audio is
// 10 MB): construct it off the main thread.
//
// Thread safety: one writer at a time; reads while nobody writes.
class SampleRing {
public:
    explicit SampleRing(std::size_t capacity);

    std::size_t capacity() const { return m_data.size(); }
    std::size_t size() const { return m_size; }
    // Appends a recording; the oldest samples beyond the capacity are dropped.
    void append(std::span<const float> recording);
    // The newest min(count, size()) samples, oldest first.
    std::vector<float> latest(std::size_t count) const;

private:
    std::vector<float> m_data;
    std::size_t m_oldest = 0; // index of the oldest sample kept
    std::size_t m_size = 0;
};
