#include "players/kugou_detector.h"

#include "players/number_text.h"
#include "players/sqlite_reader.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>

namespace {
const QString kContainer = QStringLiteral("/Library/Containers/com.kugou.mac.Music/Data/");
}

KuGouDetector::KuGouDetector(const QString& home, Clock clock)
    : m_playlistPath(home + kContainer + QStringLiteral("Library/Preferences/userCurrentPlayList.plist")),
      m_dbCandidates{
          home + kContainer + QStringLiteral("Documents/kugou3.sqlite"),
          home + kContainer + QStringLiteral("Library/Application Support/com.kugou.mac.Music/kugou3.sqlite"),
          home + kContainer +
              QStringLiteral("Library/Application Support/com.kugou.mac.Music/DB/playList.sqlite")},
      m_clock(std::move(clock))
{}

std::optional<Song> KuGouDetector::current()
{
    const auto date = file_times::modificationDate(m_playlistPath);
    if (!m_playlistCache || m_playlistCache->mtime != date) {
        const KugouPlaylistReading reading = parsePlaylist();
        m_diag.set(reading.diag);
        m_playlistCache = PlaylistCache{date, reading.usable, reading.song};
    }
    if (m_playlistCache->usable)
        return m_playlistCache->song;
    return currentFromDB();
}

KugouPlaylistReading KuGouDetector::parsePlaylist() const
{
    const QFileInfo file(m_playlistPath);
    if (!file.exists()) {
        const bool folderExists = QFileInfo(file.absolutePath()).isDir();
        return {false, std::nullopt,
                folderExists ? QStringLiteral("无播放列表文件") : QStringLiteral("未安装/没跑过")};
    }
    return kugou_playlist::parsePlaylist(file_times::readFile(m_playlistPath).value_or(QByteArray()));
}

std::optional<Song> KuGouDetector::currentFromDB()
{
    std::optional<std::pair<QString, TimeStamp>> chosen;
    for (const QString& candidate : m_dbCandidates) {
        if (!QFileInfo::exists(candidate))
            continue;
        const TimeStamp date = file_times::modificationDate(candidate).value_or(file_times::kDistantPast);
        if (!chosen || date > chosen->second)
            chosen.emplace(candidate, date);
    }
    if (!chosen) {
        m_dbDiag.set(QStringLiteral("没有找到酷狗数据库"));
        return std::nullopt;
    }
    // A cached answer stands while the file is unchanged; the age rule is not re-applied.
    if (m_dbCache && m_dbCache->first == chosen->second)
        return m_dbCache->second;
    auto song = newestPlay(chosen->first);
    m_dbCache.emplace(chosen->second, song);
    return song;
}

std::optional<Song> KuGouDetector::newestPlay(const QString& path)
{
    const QString fileName = QFileInfo(path).fileName();
    const auto db = SqliteDatabase::openReadOnly(path);
    if (!db) {
        m_dbDiag.set(QStringLiteral("读库失败（%1）").arg(fileName));
        return std::nullopt;
    }
    const auto row = db->firstRow(QStringLiteral("SELECT a.musicname, a.singer, r.LastPlayTime FROM "
                                                 "RecentPlay r JOIN Allmusic a ON a.rowid = r.songid "
                                                 "ORDER BY r.LastPlayTime DESC LIMIT 1;"));
    if (!row || row->size() < 3 || row->at(0).trimmed().isEmpty()) {
        m_dbDiag.set(QStringLiteral("库里没有最近播放记录（%1）").arg(fileName));
        return std::nullopt;
    }
    const auto started = number_text::decimalNumber(row->at(2).trimmed());
    if (!started) {
        // Without a number there is no age, so the record counts as too old.
        m_dbDiag.set(QStringLiteral("库里最近播放时间读不出来（%1，当没有）").arg(fileName));
        return std::nullopt;
    }
    const double age_s = file_times::toSeconds(m_clock()) - *started;
    const auto minutes = static_cast<qint64>(std::trunc(age_s / 60.0));
    if (age_s > kMaxAge_min * 60.0) {
        m_dbDiag.set(
            QStringLiteral("库里最近播放是 %1 分钟前（超过 %2 分钟，当没有）").arg(minutes).arg(kMaxAge_min));
        return std::nullopt;
    }
    auto song = kugou_playlist::parse(row->at(0).trimmed(), row->at(1));
    if (!song) {
        m_dbDiag.set(QStringLiteral("库里的歌名解析不出来"));
        return std::nullopt;
    }
    m_dbDiag.set(QStringLiteral("读到（%1 分钟前开播，%2）").arg(minutes).arg(fileName));
    return song;
}
