#include "players/qq_music_detector.h"

#include "players/number_text.h"
#include "players/sqlite_reader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr const char* kCacheSuffix = "-13.mgg";

const QString kRoot =
    QStringLiteral("/Library/Containers/com.tencent.QQMusicMac/Data/Library/Application Support/QQMusicMac/");

} // namespace

QQMusicDetector::QQMusicDetector(const QString& home, QString tempDir)
    : m_archivePath(home + kRoot + QStringLiteral("iTemp/PlayingList.archive")),
      m_cacheDir(home + kRoot + QStringLiteral("iMusic")),
      m_lyricDbPath(home + kRoot + QStringLiteral("iRRCache/rrdbcache.sqlite")),
      m_metaDbPath(home + kRoot + QStringLiteral("qqmusic.sqlite")), m_tempDir(std::move(tempDir)),
      m_cacheWatch(m_cacheDir)
{}

std::optional<QQPlayList> QQMusicDetector::decodeArchive()
{
    if (!QFileInfo::exists(m_archivePath)) {
        m_diag.set(QStringLiteral("未安装/无存档"));
        return std::nullopt;
    }
    QQArchiveDecoding decoding =
        qq_play_list::decode(file_times::readFile(m_archivePath).value_or(QByteArray()));
    if (!decoding.list)
        m_diag.set(decoding.diag);
    return std::move(decoding.list);
}

std::optional<QQPlayList> QQMusicDetector::parseList()
{
    const auto date = file_times::modificationDate(m_archivePath);
    if (m_parsedList && m_parsedList->first == date)
        return m_parsedList->second;
    auto list = decodeArchive();
    m_parsedList.emplace(date, list);
    return list;
}

std::optional<std::pair<Song, QString>> QQMusicDetector::currentWithID()
{
    const auto date = file_times::modificationDate(m_archivePath);
    if (m_archiveCache && m_archiveCache->first == date)
        return m_archiveCache->second;
    std::optional<std::pair<Song, QString>> result;
    const auto list = parseList();
    if (list && list->index >= 0 && list->index < list->songs.size()) {
        const Song& song = list->songs.at(list->index);
        result.emplace(song, QString::number(list->ids.at(list->index)) + QLatin1Char('|') + song.title);
        m_diag.set(QStringLiteral("读到（播放列表）"));
    }
    m_archiveCache.emplace(date, result);
    return result;
}

std::optional<QQMusicDetector::Reading> QQMusicDetector::queryLyricCache() const
{
    const auto db = SqliteDatabase::openReadOnly(m_lyricDbPath);
    if (!db)
        return std::nullopt;
    const auto row = db->firstRow(QStringLiteral(
        "SELECT keyId, accessTime FROM Cache WHERE keyId LIKE '%.qrc' ORDER BY accessTime DESC LIMIT 1;"));
    if (!row || row->size() != 2 || row->at(0).isEmpty() || row->at(1).isEmpty())
        return std::nullopt;
    const auto songId = number_text::decimalInteger(row->at(0).section(QLatin1Char('.'), 0, 0));
    const auto seconds = number_text::decimalNumber(row->at(1).trimmed());
    if (!songId || !seconds)
        return std::nullopt;
    return Reading{*songId, file_times::fromSeconds(*seconds)};
}

std::optional<QQMusicDetector::Reading> QQMusicDetector::lyricCacheRead()
{
    const auto now = std::chrono::steady_clock::now();
    if (m_lyricCache && now - m_lyricCache->checkedAt < kLyricRecheck)
        return m_lyricCache->reading;
    // An unchanged database gives the same answer: opening it every second was most of the
    // SQLite work of an idle poll.
    const auto date = file_times::databaseDate(m_lyricDbPath);
    if (m_lyricCache && m_lyricCache->databaseDate == date) {
        m_lyricCache->checkedAt = now;
        return m_lyricCache->reading;
    }
    auto reading = queryLyricCache();
    m_lyricCache = LyricCache{now, date, reading};
    return reading;
}

std::optional<QQMusicDetector::Reading> QQMusicDetector::lastCacheRead()
{
    std::optional<Reading> best;
    auto visit = [&](const QByteArray& relativePath, TimeStamp accessed) {
        const auto previous = m_cacheAtimes.find(relativePath);
        if (previous == m_cacheAtimes.end()) {
            m_cacheAtimes.insert(relativePath, accessed); // first sighting only records
            return;
        }
        const bool moved = accessed - previous.value() > kAccessMoveMin;
        previous.value() = accessed;
        if (!moved)
            return;
        const QString fileName = QFile::decodeName(relativePath.mid(relativePath.lastIndexOf('/') + 1));
        const QStringList pieces = fileName.split(QLatin1Char('-'), Qt::SkipEmptyParts);
        const auto songId = pieces.isEmpty() ? std::nullopt : number_text::decimalInteger(pieces.first());
        if (songId && (!best || accessed > best->second))
            best = Reading{*songId, accessed};
    };
    // Only files that were opened, read or touched since the last scan can have moved; the
    // watch says which, or that every file must be looked at.
    const platform::FolderActivityWatch::Activity activity = m_cacheWatch.take();
    if (activity.everything) {
        file_times::forEachAccessDateBelow(m_cacheDir, kCacheSuffix, visit);
        return best;
    }
    for (const QByteArray& path : activity.paths) {
        if (!path.endsWith(kCacheSuffix))
            continue;
        if (const auto accessed = file_times::accessDate(m_cacheDir + u'/' + QFile::decodeName(path)))
            visit(path, *accessed);
    }
    return best;
}

std::optional<Song> QQMusicDetector::queryMeta(qint64 songId) const
{
    if (!QFileInfo::exists(m_metaDbPath))
        return std::nullopt;
    const auto copy = PrivateDatabaseCopy::make(m_metaDbPath, m_tempDir, QStringLiteral("qqmeta_"));
    if (!copy)
        return std::nullopt;
    const auto db = SqliteDatabase::openCopy(copy->path());
    const auto row =
        db ? db->firstRow(QStringLiteral("SELECT name, singer FROM SONGS WHERE id=%1 LIMIT 1;").arg(songId))
           : std::nullopt;
    if (!row || row->size() != 2)
        return std::nullopt;
    const QString title = row->at(0).trimmed();
    // A singer field that spans lines lists one singer per line.
    QString artist = row->at(1).trimmed();
    artist.replace(QStringLiteral("\r\n"), QStringLiteral("、"));
    artist.replace(QLatin1Char('\n'), QStringLiteral("、"));
    artist.replace(QLatin1Char('\r'), QStringLiteral("、"));
    artist = artist.trimmed();
    if (!Song::isValid(artist, title))
        return std::nullopt;
    return Song{title, artist};
}

std::optional<Song> QQMusicDetector::songFromMeta(qint64 songId)
{
    if (const auto hit = m_metaCache.constFind(songId); hit != m_metaCache.constEnd())
        return *hit;
    // Re-querying an unchanged database cannot give another answer, so a miss is
    // remembered until the file changes; this keeps a poll from copying it every tick.
    const auto date = file_times::databaseDate(m_metaDbPath);
    if (date != m_metaMissesDate) {
        m_metaMisses.clear();
        m_metaMissesDate = date;
    }
    if (m_metaMisses.contains(songId))
        return std::nullopt;
    auto song = queryMeta(songId);
    if (!song) {
        m_metaMisses.insert(songId);
        return std::nullopt;
    }
    if (m_metaCache.size() >= kMetaCacheLimit)
        m_metaCache.clear();
    m_metaCache.insert(songId, *song);
    return song;
}

std::optional<Song> QQMusicDetector::song(qint64 songId)
{
    if (const auto list = parseList()) {
        const qsizetype at = list->ids.indexOf(songId);
        if (at >= 0)
            return list->songs.at(at);
    }
    return songFromMeta(songId);
}

std::optional<QQMusicDetector::Candidate>
QQMusicDetector::newest(const std::vector<std::optional<Candidate>>& candidates,
                        std::optional<TimeStamp> unresolvedAt)
{
    std::optional<Candidate> best;
    for (const auto& candidate : candidates) {
        if (candidate && (!best || candidate->second > best->second))
            best = candidate;
    }
    if (!best || (unresolvedAt && *unresolvedAt > best->second))
        return std::nullopt;
    return best;
}
