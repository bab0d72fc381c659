#pragma once

#include <atomic>

// The key-link self-check. Its process-wide start flag makes the post-launch check run
// at most once per process, however often it is scheduled.
struct KeyLinkCheck {
    static std::atomic<bool> started;
};
