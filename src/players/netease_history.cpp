#include "players/netease_history.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace netease_history {

namespace {

std::optional<Song> trackSong(const QJsonObject& track)
{
    const QString title = track.value(QLatin1String("name")).toString();
    if (title.isEmpty())
        return std::nullopt;
    QStringList artists;
    for (const QJsonValue& artist : track.value(QLatin1String("artists")).toArray()) {
        const QJsonValue name = artist.toObject().value(QLatin1String("name"));
        if (name.isString())
            artists.append(name.toString());
    }
    return Song{title, artists.join(QStringLiteral("、"))};
}

} // namespace

std::optional<Song> parseTrack(const QString& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject())
        return std::nullopt;
    return trackSong(document.object());
}

namespace {

// Where the array element that starts at `begin` ends (one past its closing brace), or -1
// when the text ends first. Only strings and nesting are followed, to cut the element out
// for the JSON parser; whether it is valid JSON is the parser's to say.
qsizetype elementEnd(const QByteArray& text, qsizetype begin)
{
    int depth = 0;
    bool inString = false;
    for (qsizetype i = begin; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0)
                return i + 1;
        }
    }
    return -1;
}

qsizetype skipSpace(const QByteArray& text, qsizetype i)
{
    while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t'))
        ++i;
    return i;
}

} // namespace

std::optional<std::pair<Song, QString>> newestHistoryEntry(const QByteArray& head)
{
    // Whole milliseconds within what a double holds exactly, and after 1970.
    constexpr double kMaxTime_ms = 9007199254740992.0;
    qsizetype at = skipSpace(head, 0);
    if (head.startsWith("\xEF\xBB\xBF"))
        at = skipSpace(head, 3);
    if (at >= head.size() || head[at] != '[')
        return std::nullopt;
    // The client writes the newest entry first: the first usable entry is the one.
    for (at = skipSpace(head, at + 1); at < head.size() && head[at] == '{';) {
        const qsizetype end = elementEnd(head, at);
        if (end < 0)
            return std::nullopt;
        const QJsonDocument document = QJsonDocument::fromJson(head.mid(at, end - at));
        if (!document.isObject())
            return std::nullopt;
        const QJsonObject object = document.object();
        const QJsonValue time = object.value(QLatin1String("time"));
        if (time.isDouble() && time.toDouble() > 0 && time.toDouble() <= kMaxTime_ms) {
            if (const auto song = trackSong(object.value(QLatin1String("track")).toObject()))
                return std::pair{*song, QString::number(static_cast<qint64>(time.toDouble()))};
        }
        at = skipSpace(head, end);
        if (at >= head.size() || head[at] != ',')
            return std::nullopt;
        at = skipSpace(head, at + 1);
    }
    return std::nullopt;
}

} // namespace netease_history
