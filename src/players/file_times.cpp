#include "players/file_times.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace file_times {
namespace {

TimeStamp fromTimespec(const timespec& ts)
{
    const auto sinceEpoch = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    return TimeStamp(std::chrono::duration_cast<TimeStamp::duration>(sinceEpoch));
}

std::optional<struct stat> statOf(const QString& path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return st;
}

constexpr int kMaxDepth = 64;

void walkAccessDates(int folderFd, const QByteArray& prefix, int depth, std::string_view suffix,
                     const std::function<void(const QByteArray&, TimeStamp)>& visit)
{
    DIR* folder = ::fdopendir(folderFd);
    if (folder == nullptr) {
        ::close(folderFd);
        return;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat own {};
            isFolder = ::fstatat(::dirfd(folder), entry->d_name, &own, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(own.st_mode);
        }
        if (isFolder) {
            if (depth >= kMaxDepth)
                continue;
            const int childFd =
                ::openat(::dirfd(folder), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd >= 0)
                walkAccessDates(childFd, prefix + entry->d_name + '/', depth + 1, suffix, visit);
            continue;
        }
        if (!name.ends_with(suffix))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(folder), entry->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode))
            continue;
        visit(prefix + entry->d_name, fromTimespec(st.st_atim));
    }
    ::closedir(folder);
}

} // namespace

void forEachAccessDateBelow(const QString& root, std::string_view suffix,
                            const std::function<void(const QByteArray&, TimeStamp)>& visit)
{
    const int rootFd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd >= 0)
        walkAccessDates(rootFd, QByteArray(), 0, suffix, visit);
}

std::optional<TimeStamp> modificationDate(const QString& path)
{
    const auto st = statOf(path);
    if (!st)
        return std::nullopt;
    return fromTimespec(st->st_mtim);
}

std::optional<TimeStamp> accessDate(const QString& path)
{
    const auto st = statOf(path);
    if (!st)
        return std::nullopt;
    return fromTimespec(st->st_atim);
}

std::optional<TimeStamp> databaseDate(const QString& path)
{
    const auto main = modificationDate(path);
    const auto log = modificationDate(path + QStringLiteral("-wal"));
    if (main && log)
        return std::max(*main, *log);
    return main;
}

TimeStamp fromSeconds(double seconds)
{
    // Clamp far outside any file's lifetime instead of overflowing the clock's range.
    constexpr double kLimit = 9.0e9;
    const double clamped = std::isfinite(seconds) ? std::clamp(seconds, -kLimit, kLimit) : 0.0;
    const auto d = std::chrono::duration<double>(clamped);
    return TimeStamp(std::chrono::duration_cast<TimeStamp::duration>(d));
}

std::optional<QByteArray> readFile(const QString& path, qint64 maxBytes)
{
    QFile file(path);
    const auto st = statOf(path);
    if (!st || !S_ISREG(st->st_mode) || st->st_size > maxBytes || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(maxBytes + 1);
    if (bytes.size() > maxBytes || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

double toSeconds(TimeStamp t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace file_times
