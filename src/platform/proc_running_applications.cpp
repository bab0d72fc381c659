#include "platform/running_applications.h"

#include <QByteArray>
#include <QFile>
#include <array>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

// Reads a small /proc file in one read; /proc files report a size of 0, so QFile's
// size-driven reading would not serve.
QByteArray readSmall(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::array<char, 512> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    return n > 0 ? QByteArray(buffer.data(), static_cast<qsizetype>(n)) : QByteArray();
}

QString baseName(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return QString::fromLocal8Bit(slash < 0 ? path : path.mid(slash + 1));
}

QString executableName(const QByteArray& dir)
{
    std::array<char, 4096> target{};
    const ssize_t n = ::readlink((dir + "/exe").constData(), target.data(), target.size() - 1);
    if (n > 0) {
        QByteArray path(target.data(), static_cast<qsizetype>(n));
        // A replaced executable reads "/path/name (deleted)".
        if (path.endsWith(" (deleted)"))
            path.chop(10);
        return baseName(path);
    }
    const QByteArray cmdline = readSmall(dir + "/cmdline");
    const qsizetype end = cmdline.indexOf('\0');
    return baseName(end < 0 ? cmdline : cmdline.left(end));
}

QString processName(const QByteArray& dir)
{
    QByteArray comm = readSmall(dir + "/comm");
    if (comm.endsWith('\n'))
        comm.chop(1);
    return QString::fromLocal8Bit(comm);
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

} // namespace

ProcRunningApplications::ProcRunningApplications(QString procRoot) : m_procRoot(std::move(procRoot)) {}

std::vector<RunningApplication> ProcRunningApplications::list() const
{
    std::vector<RunningApplication> apps;
    const QByteArray root = QFile::encodeName(m_procRoot);
    DIR* dir = ::opendir(root.constData());
    if (dir == nullptr)
        return apps;
    while (const dirent* entry = ::readdir(dir)) {
        if (!isPid(entry->d_name))
            continue;
        const QByteArray processDir = root + '/' + entry->d_name;
        RunningApplication app;
        app.bundleIdentifier = executableName(processDir);
        if (app.bundleIdentifier.isEmpty())
            continue;
        app.processIdentifier = std::strtoll(entry->d_name, nullptr, 10);
        app.localizedName = processName(processDir);
        apps.push_back(std::move(app));
    }
    ::closedir(dir);
    return apps;
}

std::optional<QString> ProcRunningApplications::localizedName(qint64 processIdentifier) const
{
    if (processIdentifier < 1)
        return std::nullopt;
    const QByteArray processDir = QFile::encodeName(m_procRoot) + '/' + QByteArray::number(processIdentifier);
    if (::access(processDir.constData(), F_OK) != 0)
        return std::nullopt;
    return processName(processDir);
}

std::shared_ptr<RunningApplications> defaultRunningApplications()
{
    static const auto instance = std::make_shared<ProcRunningApplications>();
    return instance;
}

} // namespace platform
