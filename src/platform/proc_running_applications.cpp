#include "platform/running_applications.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Reads a small /proc file in one read; /proc files report a size of 0, so QFile's
// size-driven reading would not serve.
QByteArray readSmall(int dirFd, const char* name)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    // Enough for a Windows program's path under Wine; longer command lines are cut.
    std::array<char, 1024> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    return n > 0 ? QByteArray(buffer.data(), static_cast<qsizetype>(n)) : QByteArray();
}

QString baseName(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return QString::fromLocal8Bit(slash < 0 ? path : path.mid(slash + 1));
}

// The target of <pid>/exe, empty when it cannot be read.
QByteArray exeTarget(int procFd, const QByteArray& pid)
{
    std::array<char, 4096> target{};
    const ssize_t n = ::readlinkat(procFd, (pid + "/exe").constData(), target.data(), target.size() - 1);
    return n > 0 ? QByteArray(target.data(), static_cast<qsizetype>(n)) : QByteArray();
}

QString executableName(int pidFd, QByteArray target)
{
    if (!target.isEmpty()) {
        // A replaced executable reads "/path/name (deleted)".
        if (target.endsWith(" (deleted)"))
            target.chop(10);
        return baseName(target);
    }
    const QByteArray cmdline = readSmall(pidFd, "cmdline");
    const qsizetype end = cmdline.indexOf('\0');
    return baseName(end < 0 ? cmdline : cmdline.left(end));
}

QString processName(int pidFd)
{
    QByteArray comm = readSmall(pidFd, "comm");
    if (comm.endsWith('\n'))
        comm.chop(1);
    return QString::fromLocal8Bit(comm);
}

bool isWineLoader(const QString& executable)
{
    return executable.contains(QLatin1String("wine"), Qt::CaseInsensitive);
}

bool isPid(const char* name)
{
    if (*name == '\0')
        return false;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

struct Known {
    ino_t entryInode = 0;
    timespec entryTime{};
    QByteArray exe;
    QString bundleIdentifier;
    QString localizedName;
    QString windowsProgram;
};

std::optional<Known> readKnown(int procFd, const char* pid, ino_t inode, const timespec& time,
                               const QByteArray& exe)
{
    const int pidFd = ::openat(procFd, pid, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pidFd < 0)
        return std::nullopt;
    Known known{inode, time, exe, executableName(pidFd, exe), processName(pidFd), {}};
    if (isWineLoader(known.bundleIdentifier))
        known.windowsProgram = windowsProgramOf(readSmall(pidFd, "cmdline"));
    ::close(pidFd);
    return known;
}

bool sameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

QString windowsProgramOf(const QByteArray& commandLine)
{
    for (const QByteArray& word : commandLine.split('\0')) {
        if (!word.toLower().endsWith(".exe"))
            continue;
        const qsizetype cut = std::max(word.lastIndexOf('\\'), word.lastIndexOf('/'));
        return QString::fromLocal8Bit(word.mid(cut + 1));
    }
    return {};
}

struct ProcRunningApplications::Cache {
    std::mutex mutex;
    QHash<qint64, Known> known;
    std::optional<std::chrono::steady_clock::time_point> lastFullCheck;
};

ProcRunningApplications::ProcRunningApplications(QString procRoot, std::chrono::milliseconds fullCheckEvery)
    : m_procRoot(std::move(procRoot)), m_fullCheckEvery(fullCheckEvery), m_cache(std::make_unique<Cache>())
{}

ProcRunningApplications::~ProcRunningApplications() = default;

std::vector<RunningApplication> ProcRunningApplications::list() const
{
    std::vector<RunningApplication> apps;
    DIR* dir = ::opendir(QFile::encodeName(m_procRoot).constData());
    if (dir == nullptr)
        return apps;
    const int procFd = ::dirfd(dir);
    std::lock_guard lock(m_cache->mutex);
    const auto now = std::chrono::steady_clock::now();
    const bool fullCheck = !m_cache->lastFullCheck || now - *m_cache->lastFullCheck >= m_fullCheckEvery;
    if (fullCheck)
        m_cache->lastFullCheck = now;
    QHash<qint64, Known> seen;
    seen.reserve(m_cache->known.size());
    while (const dirent* entry = ::readdir(dir)) {
        if (!isPid(entry->d_name))
            continue;
        const qint64 pid = std::strtoll(entry->d_name, nullptr, 10);
        const auto cached = m_cache->known.constFind(pid);
        const bool isCached = cached != m_cache->known.constEnd();
        // Between full checks a process whose entry is the same one costs no system call;
        // only an exec goes unseen until the next full check.
        if (!fullCheck && isCached && cached->entryInode == entry->d_ino) {
            if (!cached->bundleIdentifier.isEmpty())
                apps.push_back(
                    {pid, cached->bundleIdentifier, cached->localizedName, cached->windowsProgram});
            seen.insert(pid, *cached);
            continue;
        }
        struct stat st {};
        if (::fstatat(procFd, entry->d_name, &st, 0) != 0)
            continue;
        const QByteArray exe = exeTarget(procFd, QByteArray(entry->d_name));

        Known known;
        if (isCached && sameTime(cached->entryTime, st.st_ctim) && cached->exe == exe &&
            !isWineLoader(cached->bundleIdentifier)) {
            known = *cached;
        } else {
            auto fresh = readKnown(procFd, entry->d_name, entry->d_ino, st.st_ctim, exe);
            if (!fresh)
                continue;
            known = std::move(*fresh);
        }
        known.entryInode = entry->d_ino;
        if (!known.bundleIdentifier.isEmpty())
            apps.push_back({pid, known.bundleIdentifier, known.localizedName, known.windowsProgram});
        seen.insert(pid, std::move(known));
    }
    ::closedir(dir);
    // Forget the processes that are gone.
    m_cache->known = std::move(seen);
    return apps;
}

std::optional<QString> ProcRunningApplications::localizedName(qint64 processIdentifier) const
{
    if (processIdentifier < 1)
        return std::nullopt;
    const QByteArray dir = QFile::encodeName(m_procRoot) + '/' + QByteArray::number(processIdentifier);
    const int pidFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pidFd < 0)
        return std::nullopt;
    QString name = processName(pidFd);
    ::close(pidFd);
    return name;
}

std::optional<RunningApplication> ProcRunningApplications::application(qint64 processIdentifier) const
{
    if (processIdentifier < 1)
        return std::nullopt;
    const QByteArray procRoot = QFile::encodeName(m_procRoot);
    const int procFd = ::open(procRoot.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return std::nullopt;
    const QByteArray pid = QByteArray::number(processIdentifier);
    std::optional<RunningApplication> app;
    const int pidFd = ::openat(procFd, pid.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pidFd >= 0) {
        const QString bundle = executableName(pidFd, exeTarget(procFd, pid));
        if (!bundle.isEmpty())
            app = RunningApplication{processIdentifier, bundle, processName(pidFd),
                                     isWineLoader(bundle) ? windowsProgramOf(readSmall(pidFd, "cmdline"))
                                                          : QString()};
        ::close(pidFd);
    }
    ::close(procFd);
    return app;
}

std::shared_ptr<RunningApplications> defaultRunningApplications()
{
    static const auto instance = std::make_shared<ProcRunningApplications>();
    return instance;
}

} // namespace platform
