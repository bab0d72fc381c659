#pragma once

#include <mutex>

// FFTW's planner is one process-wide state and is not thread-safe: creating or destroying
// a plan (in any precision) on two threads at once corrupts the heap. Executing a plan is
// thread-safe. Every planner call in the program holds this lock; it is one mutex for the
// whole process, whichever library or translation unit asks for it.
inline std::mutex& fftwPlannerMutex()
{
    static std::mutex mutex;
    return mutex;
}
