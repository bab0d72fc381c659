#include "players/netease_music_detector.h"

#include "players/netease_history.h"
#include "players/sqlite_reader.h"

#include <QDir>
#include <QFileInfo>

NeteaseMusicDetector::NeteaseMusicDetector(const QString& home, QString tempDir)
    : m_candidates{home + QStringLiteral("/Library/Containers/com.netease.163music/Data/Documents/storage/"
                                         "sqlite_storage.sqlite3"),
                   home +
                       QStringLiteral("/Library/Application Support/com.netease.163music/Documents/storage/"
                                      "sqlite_storage.sqlite3")},
      m_tempDir(std::move(tempDir))
{}

QString NeteaseMusicDetector::sqlitePath() const
{
    for (const QString& candidate : m_candidates) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return m_candidates.first();
}

std::optional<std::pair<Song, QString>> NeteaseMusicDetector::currentWithID()
{
    const QString path = sqlitePath();
    const auto date = file_times::databaseDate(path);
    if (m_sqliteCache && m_sqliteCache->first == date)
        return m_sqliteCache->second;
    if (!QFileInfo::exists(path)) {
        m_diag.set(QStringLiteral("未安装/无数据库"));
        return std::nullopt;
    }
    auto result = readHistory(path);
    m_sqliteCache.emplace(date, result);
    return result;
}

std::optional<std::pair<Song, QString>> NeteaseMusicDetector::readHistory(const QString& path)
{
    const auto copy = PrivateDatabaseCopy::make(path, m_tempDir, QStringLiteral("nm_"));
    if (!copy) {
        m_diag.set(QStringLiteral("数据库被占用读不了"));
        return std::nullopt;
    }
    const auto db = SqliteDatabase::openCopy(copy->path());
    const auto row = db ? db->firstRow(QStringLiteral(
                              "SELECT playtime, jsonStr FROM historyTracks ORDER BY playtime DESC LIMIT 1;"))
                        : std::nullopt;
    const auto song = row && row->size() == 2 && !row->at(0).isEmpty()
                          ? netease_history::parseTrack(row->at(1))
                          : std::nullopt;
    if (!song) {
        m_diag.set(QStringLiteral("没有播放记录"));
        return std::nullopt;
    }
    m_diag.set(QStringLiteral("读到"));
    return std::pair{*song, row->at(0)};
}
