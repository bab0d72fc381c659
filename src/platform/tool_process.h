#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <stop_token>

namespace platform {

// A command-line tool run to its end, with its standard output and standard error
// combined in one pipe.
struct ToolRun {
    enum class End {
        exited,     // the tool exited; exitCode holds its code
        signalled,  // the tool was killed by a signal it did not ask for (exitCode = signal)
        notStarted, // it could not be started; error says why
        timedOut,   // it ran past the limit and was ended
        stopped,    // the caller's stop token asked for the end
    };
    End end = End::notStarted;
    int exitCode = -1;
    QString error;
    // The last maxOutputBytes of the combined output (whole, when it was shorter).
    QByteArray output;
    bool outputTruncated = false;
};

struct ToolLimits {
    std::chrono::milliseconds timeLimit{90'000};
    // Grace between SIGTERM and SIGKILL when the tool must be ended.
    std::chrono::milliseconds termGrace{2'000};
    // After the tool itself exits, how long a child it left behind may hold the pipe.
    std::chrono::milliseconds drainAfterExit{1'000};
    qsizetype maxOutputBytes = 256 * 1024;
};

// Starts `program` with `arguments` in a process group of its own, stdin from /dev/null,
// and reads its combined output while it runs (a pipe holds only 64 KB, so reading after
// the end would deadlock a talkative tool). Ends the whole group (SIGTERM, then SIGKILL
// after the grace) on time-out or stop, and also when the tool has exited but a child
// still holds the pipe after drainAfterExit, so no descendant can keep the call waiting.
// The number of bytes kept is bounded; earlier output is dropped.
//
// Thread safety: any thread; blocks the calling thread until the tool has ended, so never
// call it on the main thread.
ToolRun runTool(const QString& program, const QStringList& arguments, const ToolLimits& limits,
                std::stop_token stop = {});

} // namespace platform
