#include "key_library.h"

#include "core/song.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <sqlite3.h>
#include <variant>

namespace {

constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS songs(
  id INTEGER PRIMARY KEY, artist TEXT NOT NULL, title TEXT NOT NULL, key TEXT NOT NULL,
  display_key TEXT, review_status TEXT, confidence REAL, low_confidence INTEGER,
  UNIQUE(artist, title));
CREATE TABLE IF NOT EXISTS feedback(
  id INTEGER PRIMARY KEY, received_at TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP,
  artist TEXT NOT NULL, title TEXT NOT NULL, key TEXT, source TEXT, prev_key TEXT);
CREATE TABLE IF NOT EXISTS key_reports(
  id INTEGER PRIMARY KEY, received_at TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP,
  artist TEXT NOT NULL, title TEXT NOT NULL, key TEXT NOT NULL, body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS play_durations(
  id INTEGER PRIMARY KEY, received_at TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP,
  artist TEXT NOT NULL, title TEXT NOT NULL, seconds REAL NOT NULL, source TEXT, player_diag TEXT);
)sql";

constexpr char kSongColumns[] = "artist, title, key, display_key, review_status, confidence, low_confidence";

// One prepared statement; bind with 1-based positions.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool valid() const { return m_stmt != nullptr; }

    void bind(int i, const QString& text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_stmt, i, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, const std::optional<QString>& text)
    {
        if (text)
            bind(i, *text);
        else
            sqlite3_bind_null(m_stmt, i);
    }
    void bind(int i, std::optional<double> value)
    {
        if (value)
            sqlite3_bind_double(m_stmt, i, *value);
        else
            sqlite3_bind_null(m_stmt, i);
    }
    void bind(int i, std::optional<bool> value)
    {
        if (value)
            sqlite3_bind_int(m_stmt, i, *value ? 1 : 0);
        else
            sqlite3_bind_null(m_stmt, i);
    }

    // True while a row is available.
    bool step() { return valid() && sqlite3_step(m_stmt) == SQLITE_ROW; }
    bool run() { return valid() && sqlite3_step(m_stmt) == SQLITE_DONE; }

    int columns() const { return sqlite3_column_count(m_stmt); }
    QString name(int i) const { return QString::fromUtf8(sqlite3_column_name(m_stmt, i)); }
    bool isNull(int i) const { return sqlite3_column_type(m_stmt, i) == SQLITE_NULL; }
    QString text(int i) const
    {
        const auto* raw = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i));
        return QString::fromUtf8(raw, sqlite3_column_bytes(m_stmt, i));
    }
    std::optional<QString> optionalText(int i) const
    {
        return isNull(i) ? std::nullopt : std::optional(text(i));
    }
    std::optional<double> optionalReal(int i) const
    {
        return isNull(i) ? std::nullopt : std::optional(sqlite3_column_double(m_stmt, i));
    }
    QJsonValue json(int i) const
    {
        switch (sqlite3_column_type(m_stmt, i)) {
        case SQLITE_INTEGER:
            return static_cast<double>(sqlite3_column_int64(m_stmt, i));
        case SQLITE_FLOAT:
            return sqlite3_column_double(m_stmt, i);
        case SQLITE_NULL:
            return QJsonValue::Null;
        default:
            return text(i);
        }
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

SongEntry songFrom(const Statement& row)
{
    SongEntry song{row.text(0),         row.text(1),         row.text(2), row.optionalText(3),
                   row.optionalText(4), row.optionalReal(5), std::nullopt};
    if (!row.isNull(6))
        song.lowConfidence = row.text(6) != QLatin1String("0");
    return song;
}

// A seed entry, or what is wrong with it.
std::variant<SongEntry, QString> seedEntry(const QJsonValue& value)
{
    if (!value.isObject())
        return QStringLiteral("not an object");
    const QJsonObject o = value.toObject();
    for (const char* name : {"artist", "title", "key"}) {
        if (!o.value(QLatin1String(name)).isString() || o.value(QLatin1String(name)).toString().isEmpty())
            return QStringLiteral("\"%1\" must be a non-empty text").arg(QLatin1String(name));
    }
    SongEntry song{o.value(QLatin1String("artist")).toString(),
                   o.value(QLatin1String("title")).toString(),
                   o.value(QLatin1String("key")).toString(),
                   std::nullopt,
                   std::nullopt,
                   std::nullopt,
                   std::nullopt};
    const auto optionalText = [&](const char* name, std::optional<QString>& out) -> bool {
        const QJsonValue v = o.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull())
            return true;
        if (!v.isString())
            return false;
        out = v.toString();
        return true;
    };
    if (!optionalText("display_key", song.displayKey) || !optionalText("review_status", song.reviewStatus))
        return QStringLiteral("\"display_key\" and \"review_status\" must be texts");
    const QJsonValue confidence = o.value(QLatin1String("confidence"));
    if (confidence.isDouble())
        song.confidence = confidence.toDouble();
    else if (!confidence.isUndefined() && !confidence.isNull())
        return QStringLiteral("\"confidence\" must be a number");
    const QJsonValue low = o.value(QLatin1String("low_confidence"));
    if (low.isBool())
        song.lowConfidence = low.toBool();
    else if (!low.isUndefined() && !low.isNull())
        return QStringLiteral("\"low_confidence\" must be true or false");
    return song;
}

} // namespace

std::unique_ptr<KeyLibrary> KeyLibrary::open(const QString& path, QString* error)
{
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, flags, nullptr) != SQLITE_OK) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db)));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 2000);
    char* message = nullptr;
    if (sqlite3_exec(db, kSchema, nullptr, nullptr, &message) != SQLITE_OK) {
        *error = QStringLiteral("cannot use %1: %2").arg(path, QString::fromUtf8(message));
        sqlite3_free(message);
        sqlite3_close(db);
        return nullptr;
    }
    return std::unique_ptr<KeyLibrary>(new KeyLibrary(db));
}

KeyLibrary::~KeyLibrary()
{
    sqlite3_close(m_db);
}

bool KeyLibrary::addSongLocked(const SongEntry& song)
{
    Statement insert(m_db,
                     "INSERT INTO songs(artist, title, key, display_key, review_status, confidence, "
                     "low_confidence) VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT(artist, title) DO UPDATE SET "
                     "key = excluded.key, display_key = excluded.display_key, review_status = "
                     "excluded.review_status, confidence = excluded.confidence, low_confidence = "
                     "excluded.low_confidence");
    insert.bind(1, song.artist);
    insert.bind(2, song.title);
    insert.bind(3, song.key);
    insert.bind(4, song.displayKey);
    insert.bind(5, song.reviewStatus);
    insert.bind(6, song.confidence);
    insert.bind(7, song.lowConfidence);
    return insert.run();
}

bool KeyLibrary::addSong(const SongEntry& song)
{
    const std::lock_guard lock(m_mutex);
    return addSongLocked(song);
}

std::optional<QString> KeyLibrary::seed(const QByteArray& json)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return QStringLiteral("not JSON: %1").arg(parseError.errorString());
    QJsonArray list;
    if (doc.isArray())
        list = doc.array();
    else if (doc.isObject() && doc.object().value(QLatin1String("songs")).isArray())
        list = doc.object().value(QLatin1String("songs")).toArray();
    else
        return QStringLiteral("expected a list of songs or {\"songs\": [...]}");

    QList<SongEntry> songs;
    for (qsizetype i = 0; i < list.size(); ++i) {
        auto entry = seedEntry(list.at(i));
        if (const auto* problem = std::get_if<QString>(&entry))
            return QStringLiteral("song %1: %2").arg(i).arg(*problem);
        songs.append(std::get<SongEntry>(std::move(entry)));
    }

    const std::lock_guard lock(m_mutex);
    sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
    for (const SongEntry& song : songs) {
        if (!addSongLocked(song)) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return QStringLiteral("cannot store songs: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db)));
        }
    }
    sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    return std::nullopt;
}

std::optional<LookupHit> KeyLibrary::lookup(const QString& artist, const QString& title)
{
    const std::lock_guard lock(m_mutex);
    {
        const QByteArray sql =
            QByteArray("SELECT ") + kSongColumns + " FROM songs WHERE artist = ? AND title = ?";
        Statement exact(m_db, sql.constData());
        exact.bind(1, artist);
        exact.bind(2, title);
        if (exact.step())
            return LookupHit{songFrom(exact), QStringLiteral("exact")};
    }
    const QByteArray sql = QByteArray("SELECT ") + kSongColumns + " FROM songs ORDER BY id";
    Statement all(m_db, sql.constData());
    const Song wanted{title, artist};
    while (all.step()) {
        SongEntry song = songFrom(all);
        if (Song::isSameSong(wanted, Song{song.title, song.artist}))
            return LookupHit{std::move(song), QStringLiteral("variant")};
    }
    return std::nullopt;
}

bool KeyLibrary::addFeedback(const QString& artist, const QString& title, const std::optional<QString>& key,
                             const std::optional<QString>& source, const std::optional<QString>& prevKey)
{
    const std::lock_guard lock(m_mutex);
    Statement insert(m_db,
                     "INSERT INTO feedback(artist, title, key, source, prev_key) VALUES(?, ?, ?, ?, ?)");
    insert.bind(1, artist);
    insert.bind(2, title);
    insert.bind(3, key);
    insert.bind(4, source);
    insert.bind(5, prevKey);
    return insert.run();
}

bool KeyLibrary::addReport(const QString& artist, const QString& title, const QString& key,
                           const QByteArray& body)
{
    const std::lock_guard lock(m_mutex);
    Statement insert(m_db, "INSERT INTO key_reports(artist, title, key, body) VALUES(?, ?, ?, ?)");
    insert.bind(1, artist);
    insert.bind(2, title);
    insert.bind(3, key);
    insert.bind(4, QString::fromUtf8(body));
    return insert.run();
}

bool KeyLibrary::addPlayDuration(const QString& artist, const QString& title, double seconds,
                                 const std::optional<QString>& source,
                                 const std::optional<QString>& playerDiag)
{
    const std::lock_guard lock(m_mutex);
    Statement insert(
        m_db,
        "INSERT INTO play_durations(artist, title, seconds, source, player_diag) VALUES(?, ?, ?, ?, ?)");
    insert.bind(1, artist);
    insert.bind(2, title);
    insert.bind(3, std::optional<double>(seconds));
    insert.bind(4, source);
    insert.bind(5, playerDiag);
    return insert.run();
}

QList<QJsonObject> KeyLibrary::rows(const QString& table)
{
    static const QStringList kTables{QStringLiteral("songs"), QStringLiteral("feedback"),
                                     QStringLiteral("key_reports"), QStringLiteral("play_durations")};
    QList<QJsonObject> out;
    if (!kTables.contains(table))
        return out;
    const std::lock_guard lock(m_mutex);
    const QByteArray sql = "SELECT * FROM " + table.toLatin1() + " ORDER BY id";
    Statement select(m_db, sql.constData());
    while (select.step()) {
        QJsonObject row;
        for (int i = 0; i < select.columns(); ++i)
            row.insert(select.name(i), select.json(i));
        out.append(row);
    }
    return out;
}
