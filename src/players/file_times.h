#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

// Time stamps of the readers: wall-clock time with the file system's full precision.
using TimeStamp = std::chrono::system_clock::time_point;

namespace file_times {

// The earliest representable time stamp (stands for "date unknown" where a time is required).
inline constexpr TimeStamp kDistantPast = TimeStamp::min();

// Content modification and access dates; none when the file is missing or unreadable.
std::optional<TimeStamp> modificationDate(const QString& path);
std::optional<TimeStamp> accessDate(const QString& path);
// A database's date: the later of its file's and its write-ahead log's ("-wal")
// modification dates, because a database in WAL mode takes new rows into the log and
// leaves the main file's date alone until a checkpoint.
std::optional<TimeStamp> databaseDate(const QString& path);
// Seconds since 1970-01-01 00:00 UTC, fractions kept.
TimeStamp fromSeconds(double seconds);
double toSeconds(TimeStamp t);

// Calls visit(path relative to root, access date) for every file below root, at any depth,
// whose name ends with suffix. Symbolic links to files count, links to folders are not
// followed; unreadable folders are skipped. Each file costs one stat relative to its open
// folder, not a walk of its whole path: a player's cache holds thousands.
void forEachAccessDateBelow(
    const QString& root, std::string_view suffix,
    const std::function<void(const QByteArray& relativePath, TimeStamp accessed)>& visit);

// A player file read whole; none when it is missing, unreadable, not a regular file or
// larger than maxBytes (a player's list or archive is far below the default).
std::optional<QByteArray> readFile(const QString& path, qint64 maxBytes = 64 << 20);
// The first maxBytes of a player file (all of it when it is smaller); none when it is
// missing, unreadable or not a regular file.
std::optional<QByteArray> readHead(const QString& path, qint64 maxBytes);

} // namespace file_times
