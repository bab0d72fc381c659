#include "players/netease_music_detector.h"

#include "players/netease_history.h"
#include "players/number_text.h"
#include "players/sqlite_reader.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString kInstalledNot = QStringLiteral("未安装/无数据库");

// The two places the Windows client keeps its library in a user's profile (XP-style and later).
const QStringList kWineLibraries = {
    QStringLiteral("Local Settings/Application Data/NetEase/CloudMusic/Library/webdb.dat"),
    QStringLiteral("AppData/Local/NetEase/CloudMusic/Library/webdb.dat")};

QStringList subfolders(const QString& path, int limit)
{
    QStringList names =
        QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    if (names.size() > limit)
        names.resize(limit);
    return names;
}

double playTime(const NeteaseMusicDetector::Reading& reading)
{
    return number_text::decimalNumber(reading.second).value_or(0.0);
}

} // namespace

NeteaseMusicDetector::NeteaseMusicDetector(const QString& home, QString tempDir, Clock clock)
    : m_home(home),
      m_candidates{home + QStringLiteral("/Library/Containers/com.netease.163music/Data/Documents/storage/"
                                         "sqlite_storage.sqlite3"),
                   home +
                       QStringLiteral("/Library/Application Support/com.netease.163music/Documents/storage/"
                                      "sqlite_storage.sqlite3")},
      m_historyJson(home + QStringLiteral("/.cache/netease-cloud-music/StorageCache/webdata/file/history")),
      m_tempDir(std::move(tempDir)), m_clock(std::move(clock))
{}

QString NeteaseMusicDetector::sqlitePath() const
{
    for (const QString& candidate : m_candidates) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return m_candidates.first();
}

QString NeteaseMusicDetector::sourcePath() const
{
    if (!m_lastPath.isEmpty())
        return m_lastPath;
    for (const QString& path : QStringList{m_historyJson} + m_wineDatabases) {
        if (QFileInfo::exists(path))
            return path;
    }
    return sqlitePath();
}

void NeteaseMusicDetector::searchWinePrefixes()
{
    m_searched = true;
    QStringList prefixes;
    const QString bottles = m_home + QStringLiteral("/.deepinwine");
    for (const QString& bottle : subfolders(bottles, kMaxBottles))
        prefixes << bottles + QLatin1Char('/') + bottle;
    prefixes << m_home + QStringLiteral("/.wine");

    QStringList found;
    for (const QString& prefix : std::as_const(prefixes)) {
        const QString users = prefix + QStringLiteral("/drive_c/users");
        for (const QString& user : subfolders(users, kMaxUsers)) {
            for (const QString& library : kWineLibraries) {
                const QString path = users + QLatin1Char('/') + user + QLatin1Char('/') + library;
                if (QFileInfo(path).isFile())
                    found << path;
            }
        }
    }
    m_wineDatabases = found;
}

std::optional<NeteaseMusicDetector::Reading> NeteaseMusicDetector::currentWithID()
{
    if (!m_searched)
        searchWinePrefixes();

    struct Source {
        std::optional<Cached> read;
        Form form;
        QString path;
    };
    std::vector<Source> sources;
    const QString mac = sqlitePath();
    sources.push_back({readDatabase(mac), Form::mac, mac});
    sources.push_back({readJsonHistory(), Form::linuxClient, m_historyJson});
    for (const QString& path : std::as_const(m_wineDatabases))
        sources.push_back({readDatabase(path), Form::wine, path});

    // The newest play time of every source that has a song; else the status of the first
    // source that exists.
    const Source* chosen = nullptr;
    const Source* firstPresent = nullptr;
    for (const Source& source : sources) {
        if (!source.read)
            continue;
        if (firstPresent == nullptr)
            firstPresent = &source;
        if (source.read->result &&
            (chosen == nullptr || playTime(*source.read->result) > playTime(*chosen->read->result)))
            chosen = &source;
    }
    if (chosen != nullptr) {
        m_diag.set(chosen->read->diag);
        m_lastForm = chosen->form;
        m_lastPath = chosen->path;
        return chosen->read->result;
    }
    m_lastForm.reset();
    m_lastPath.clear();
    m_diag.set(firstPresent != nullptr ? firstPresent->read->diag : kInstalledNot);
    return std::nullopt;
}

std::optional<NeteaseMusicDetector::Cached> NeteaseMusicDetector::readDatabase(const QString& path)
{
    const auto date = file_times::databaseDate(path);
    const auto cached = m_cache.constFind(path);
    if (cached != m_cache.constEnd() && cached->date == date)
        return *cached;
    if (!QFileInfo::exists(path))
        return std::nullopt;
    Cached fresh = readHistory(path);
    fresh.date = date;
    m_cache.insert(path, fresh);
    return fresh;
}

NeteaseMusicDetector::Cached NeteaseMusicDetector::readHistory(const QString& path) const
{
    const auto copy = PrivateDatabaseCopy::make(path, m_tempDir, QStringLiteral("nm_"));
    if (!copy)
        return {std::nullopt, std::nullopt, QStringLiteral("数据库被占用读不了")};
    const auto db = SqliteDatabase::openCopy(copy->path());
    // By column name: the clients' versions order the columns differently.
    const auto row = db ? db->firstRow(QStringLiteral(
                              "SELECT playtime, jsonStr FROM historyTracks ORDER BY playtime DESC LIMIT 1;"))
                        : std::nullopt;
    const auto song = row && row->size() == 2 && !row->at(0).isEmpty()
                          ? netease_history::parseTrack(row->at(1))
                          : std::nullopt;
    if (!song)
        return {std::nullopt, std::nullopt, QStringLiteral("没有播放记录")};
    return {std::nullopt, std::pair{*song, row->at(0)}, QStringLiteral("读到")};
}

std::optional<NeteaseMusicDetector::Cached> NeteaseMusicDetector::readJsonHistory()
{
    const auto date = file_times::modificationDate(m_historyJson);
    if (!date)
        return std::nullopt;
    // Checked on every read, the cached ones too: a file the client stopped writing names
    // no song, however fresh it was when it was parsed.
    if (m_clock() - *date > kHistoryFreshFor)
        return Cached{date, std::nullopt, QStringLiteral("播放记录超过 60 分钟没更新（当没有）")};
    const auto cached = m_cache.constFind(m_historyJson);
    if (cached != m_cache.constEnd() && cached->date == date)
        return *cached;
    // The newest entry comes first: the head of a history of any size names it.
    Cached fresh{date, std::nullopt, QStringLiteral("没有播放记录")};
    if (const auto head = file_times::readHead(m_historyJson, kHistoryHeadBytes)) {
        if (auto newest = netease_history::newestHistoryEntry(*head)) {
            fresh.result = std::move(newest);
            fresh.diag = QStringLiteral("读到");
        }
    }
    m_cache.insert(m_historyJson, fresh);
    return fresh;
}
