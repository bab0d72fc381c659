#include "players/file_times.h"

#include "platform/folder_walk.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <sys/stat.h>

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

} // namespace

void forEachAccessDateBelow(const QString& root, std::string_view suffix,
                            const std::function<void(const QByteArray&, TimeStamp)>& visit)
{
    using platform::folder_walk::Step;
    platform::folder_walk::forEachBelow(root, [&](const platform::folder_walk::Entry& entry) {
        struct stat st {};
        if (!entry.isFolder && std::string_view(entry.name).ends_with(suffix) &&
            ::fstatat(entry.folderFd, entry.name, &st, 0) == 0 && !S_ISDIR(st.st_mode))
            visit(entry.path, fromTimespec(st.st_atim));
        return Step::into;
    });
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

std::optional<QByteArray> readHead(const QString& path, qint64 maxBytes)
{
    QFile file(path);
    const auto st = statOf(path);
    if (!st || !S_ISREG(st->st_mode) || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(maxBytes);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

double toSeconds(TimeStamp t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace file_times
