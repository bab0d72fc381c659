#include "platform/tool_process.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// Keeps the last `cap` bytes of everything appended.
class TailBuffer {
public:
    explicit TailBuffer(qsizetype cap) : m_cap(cap < 0 ? 0 : cap) {}
    void append(const char* data, qsizetype size)
    {
        m_bytes.append(data, size);
        if (m_bytes.size() > 2 * m_cap + 65536) // trim in batches, not on every read
            trim();
    }
    QByteArray take(bool* truncated)
    {
        trim();
        *truncated = m_truncated;
        return std::move(m_bytes);
    }

private:
    void trim()
    {
        if (m_bytes.size() <= m_cap)
            return;
        m_bytes.remove(0, m_bytes.size() - m_cap);
        m_truncated = true;
    }
    qsizetype m_cap;
    QByteArray m_bytes;
    bool m_truncated = false;
};

int pidfdOpen(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

void killGroup(pid_t group, int signal)
{
    ::kill(-group, signal);
}

bool groupGone(pid_t group)
{
    return ::kill(-group, 0) != 0 && errno == ESRCH;
}

} // namespace

ToolRun runTool(const QString& program, const QStringList& arguments, const ToolLimits& limits,
                std::stop_token stop)
{
    ToolRun result;

    // Everything the child needs is built before it exists.
    std::vector<QByteArray> argBytes;
    argBytes.push_back(QFile::encodeName(program));
    for (const QString& a : arguments)
        argBytes.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& a : argBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    Fd readEnd(fds[0]);
    Fd writeEnd(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own, so that the tool's children can be ended with it; default
    // signal handling, whatever the application has installed.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGPIPE);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &noMask);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int spawnError =
        ::posix_spawn(&pid, argBytes.front().constData(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    writeEnd.reset();
    if (spawnError != 0) {
        result.error = QString::fromLocal8Bit(std::strerror(spawnError));
        return result;
    }
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    Fd exitFd(pidfdOpen(pid));

    TailBuffer output(limits.maxOutputBytes);
    const Clock::time_point started = Clock::now();
    const Clock::time_point deadline = started + limits.timeLimit;
    constexpr Clock::time_point kNever = Clock::time_point::max();
    Clock::time_point drainDeadline = kNever; // set when the tool has exited
    Clock::time_point killDeadline = kNever;  // set when SIGTERM went to the group
    bool pipeOpen = true;
    bool reaped = false;
    int status = 0;
    enum class Reason { none, timedOut, stopped } endReason = Reason::none;

    auto reap = [&](int flags) {
        if (reaped)
            return;
        pid_t r;
        do {
            r = ::waitpid(pid, &status, flags);
        } while (r < 0 && errno == EINTR);
        if (r == pid)
            reaped = true;
    };

    char chunk[65536];
    while (true) {
        reap(WNOHANG);
        const Clock::time_point now = Clock::now();
        if (reaped && drainDeadline == kNever)
            drainDeadline = now + limits.drainAfterExit;
        if (reaped && !pipeOpen)
            break;

        if (endReason == Reason::none) {
            if (stop.stop_requested())
                endReason = Reason::stopped;
            else if (!reaped && now >= deadline)
                endReason = Reason::timedOut;
            if (endReason != Reason::none) {
                killGroup(pid, SIGTERM);
                killDeadline = now + limits.termGrace;
            }
        }
        if (now >= killDeadline) {
            killGroup(pid, SIGKILL);
            killDeadline = kNever;
        }
        if (now >= drainDeadline && pipeOpen) {
            // The tool is gone; what still holds the pipe is a child it left behind.
            killGroup(pid, SIGKILL);
            break;
        }

        // Sleep until output, the tool's end, or the nearest deadline.
        Clock::time_point wake = deadline;
        if (endReason != Reason::none || reaped)
            wake = now + std::chrono::milliseconds(50);
        wake = std::min({wake, killDeadline, drainDeadline});
        if (exitFd.get() < 0 || stop.stop_possible())
            wake = std::min(wake, now + std::chrono::milliseconds(50));
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();

        pollfd polls[2] = {{readEnd.get(), POLLIN, 0}, {exitFd.get(), POLLIN, 0}};
        const nfds_t count = (exitFd.get() >= 0 && !reaped) ? 2 : 1;
        if (!pipeOpen)
            polls[0].fd = -1;
        const int ready = ::poll(polls, count, static_cast<int>(std::max<long long>(waitMs, 0)));
        if (ready < 0 && errno != EINTR)
            break;
        if (pipeOpen && (polls[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            while (true) {
                const ssize_t n = ::read(readEnd.get(), chunk, sizeof chunk);
                if (n > 0) {
                    output.append(chunk, n);
                    continue;
                }
                if (n == 0)
                    pipeOpen = false;
                else if (errno == EINTR)
                    continue;
                else if (errno != EAGAIN)
                    pipeOpen = false;
                break;
            }
        }
    }
    if (!reaped) {
        killGroup(pid, SIGKILL);
        reap(0);
    }
    // Whatever of the group is left (a child that ignored SIGTERM) goes too.
    if (!groupGone(pid))
        killGroup(pid, SIGKILL);

    result.output = output.take(&result.outputTruncated);
    switch (endReason) {
    case Reason::timedOut:
        result.end = ToolRun::End::timedOut;
        return result;
    case Reason::stopped:
        result.end = ToolRun::End::stopped;
        return result;
    case Reason::none:
        break;
    }
    if (WIFEXITED(status)) {
        result.end = ToolRun::End::exited;
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.end = ToolRun::End::signalled;
        result.exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
    return result;
}

} // namespace platform
