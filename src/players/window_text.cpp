#include "players/window_text.h"

#include <QHash>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <cmath>

namespace window_text {
namespace {

constexpr int kMaxCharacters = 40;
constexpr int kMaxOverlap = 20;
constexpr double kMaxLeftEdgeDifference_pt = 12.0;
constexpr double kMinTitleToArtistHeight = 0.85;
constexpr double kMinGap_pt = -4.0;
constexpr double kMaxGap_pt = 30.0;
constexpr int kMinAgreeingPasses = 2;

const QString kDash = QStringLiteral("-");

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QString trimBlanks(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

// At most `count` user-perceived characters from the start or the end of a text, so that an
// overlap never splits one and a long text costs no more than a short one.
QStringList edgeCharacters(const QString& text, qsizetype count, bool fromEnd)
{
    QStringList out;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    if (fromEnd) {
        finder.toEnd();
        qsizetype end = text.size();
        while (out.size() < count && finder.toPreviousBoundary() >= 0) {
            out.push_front(text.mid(finder.position(), end - finder.position()));
            end = finder.position();
        }
    } else {
        qsizetype start = 0;
        while (out.size() < count && finder.toNextBoundary() > 0) {
            out.push_back(text.mid(start, finder.position() - start));
            start = finder.position();
        }
    }
    return out;
}

int characterCount(const QString& text)
{
    return song_rules::graphemeCount(text);
}

bool sameRun(const QStringList& a, qsizetype aFrom, const QStringList& b, qsizetype bFrom, qsizetype count)
{
    for (qsizetype i = 0; i < count; ++i) {
        if (a[aFrom + i] != b[bFrom + i])
            return false;
    }
    return true;
}

qsizetype length(const QStringList& chars, qsizetype count)
{
    qsizetype n = 0;
    for (qsizetype i = 0; i < count; ++i)
        n += chars[i].size();
    return n;
}

// The characters at both edges of a text, as many as an overlap can use.
struct Edges {
    QStringList head;
    QStringList tail;
    explicit Edges(const QString& text)
        : head(edgeCharacters(text, kMaxOverlap, false)), tail(edgeCharacters(text, kMaxOverlap, true))
    {}
};

// Whether the last k characters of `first` begin `second`.
bool overlaps(const Edges& first, const Edges& second, qsizetype k)
{
    return sameRun(first.tail, first.tail.size() - k, second.head, 0, k);
}

std::optional<QString> merged(const QString& a, const QString& b)
{
    if (a == b)
        return a;
    if (a.contains(b))
        return a;
    if (b.contains(a))
        return b;
    const Edges ea(a);
    const Edges eb(b);
    // Fewer than kMaxOverlap edge characters means the whole text.
    const qsizetype longest = std::min({ea.head.size(), eb.head.size()});
    for (qsizetype k = longest; k >= 2; --k) {
        if (overlaps(ea, eb, k))
            return a + b.mid(length(eb.head, k));
        if (overlaps(eb, ea, k))
            return b + a.mid(length(ea.head, k));
    }
    return std::nullopt;
}

std::optional<Song> agreedTwoLineSong(const std::vector<std::vector<OcrLine>>& passes)
{
    struct Group {
        QString artist;
        int count = 0;
        Song song;
    };
    std::vector<Group> groups; // in the order the artists were first read
    for (const auto& pass : passes) {
        const auto song = parseTwoLines(pass);
        if (!song)
            continue;
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const Group& g) { return g.artist == song->artist; });
        if (group == groups.end()) {
            groups.push_back({song->artist, 1, *song});
            continue;
        }
        ++group->count;
        if (characterCount(song->title) > characterCount(group->song.title))
            group->song = *song;
    }
    const Group* best = nullptr;
    for (const Group& group : groups) {
        if (best == nullptr || group.count > best->count)
            best = &group;
    }
    if (best == nullptr || best->count < kMinAgreeingPasses)
        return std::nullopt;
    return best->song;
}

std::optional<Song> agreedOneLineSong(const std::vector<std::vector<OcrLine>>& passes)
{
    QStringList allDashLines;
    std::vector<QStringList> dashLinesOfPass;
    for (const auto& pass : passes) {
        QStringList dashLines;
        for (const OcrLine& line : pass) {
            const QString text = clean(line.text);
            if (text.contains(kDash))
                dashLines.push_back(text);
        }
        allDashLines += dashLines;
        if (!dashLines.isEmpty())
            dashLinesOfPass.push_back(std::move(dashLines));
    }
    if (dashLinesOfPass.size() < std::size_t(kMinAgreeingPasses))
        return std::nullopt;

    QHash<QString, int> occurrences;
    QStringList firstSeen;
    for (const QString& text : allDashLines) {
        if (occurrences[text]++ == 0)
            firstSeen.push_back(text);
    }
    QStringList stable;
    for (const QString& text : firstSeen) {
        if (occurrences.value(text) > 1)
            stable.push_back(text);
    }
    if (auto song = parseSingleLine(stable))
        return song;
    // A merged line must rest on fragments of two passes: a bar whose text changes every pass
    // leaves lines that merge with nothing, and one of those is no agreement.
    QStringList supported;
    for (const QString& text : mergeScrolling(allDashLines)) {
        const auto seenIn =
            std::count_if(dashLinesOfPass.begin(), dashLinesOfPass.end(), [&](const QStringList& lines) {
                return std::any_of(lines.begin(), lines.end(),
                                   [&](const QString& line) { return text.contains(line); });
            });
        if (seenIn >= kMinAgreeingPasses)
            supported.push_back(text);
    }
    return parseSingleLine(supported);
}

} // namespace

const QStringList& junkWords()
{
    static const QStringList words = {
        QStringLiteral("搜索"), QStringLiteral("歌单"),     QStringLiteral("排行榜"),
        QStringLiteral("推荐"), QStringLiteral("我的"),     QStringLiteral("下载"),
        QStringLiteral("设置"), QStringLiteral("播放列表"), QStringLiteral("我喜欢"),
        QStringLiteral("本地"), QStringLiteral("收藏"),     QStringLiteral("评论"),
        QStringLiteral("歌词"), QStringLiteral("MV"),       QStringLiteral("登录"),
        QStringLiteral("会员"), QStringLiteral("个性"),     QStringLiteral("皮肤"),
        QStringLiteral("广告"), QStringLiteral("开通"),     QStringLiteral("关注")};
    return words;
}

bool containsJunk(const QString& text)
{
    const QStringList& words = junkWords();
    return std::any_of(words.begin(), words.end(), [&](const QString& word) { return text.contains(word); });
}

QString clean(const QString& text)
{
    QString out = trimBlanks(text);
    out.remove(QStringLiteral("…"));
    out.remove(QStringLiteral("..."));
    return trimBlanks(out);
}

bool ok(const QString& text, int min)
{
    const int count = characterCount(text);
    return count >= min && count <= kMaxCharacters && !containsJunk(text);
}

std::optional<Song> parseSingleLine(const QStringList& lines)
{
    std::optional<Song> best;
    for (const QString& line : lines) {
        const QString text = clean(line);
        const int count = characterCount(text);
        if (count < 4 || count > kMaxCharacters || containsJunk(text))
            continue;
        const qsizetype dash = text.lastIndexOf(kDash);
        if (dash < 0)
            continue;
        const QString title = clean(text.left(dash));
        const QString artist = clean(text.mid(dash + 1));
        if (!ok(title, 1) || !ok(artist, 1) || !Song::isValid(artist, title))
            continue;
        if (!best || characterCount(title) > characterCount(best->title))
            best = Song{title, artist};
    }
    return best;
}

QStringList mergeScrolling(const QStringList& lines)
{
    QStringList texts;
    for (const QString& line : lines) {
        if (!line.isEmpty())
            texts.push_back(line);
    }
    bool changed = true;
    while (changed) {
        changed = false;
        for (qsizetype i = 0; i < texts.size() && !changed; ++i) {
            for (qsizetype j = i + 1; j < texts.size() && !changed; ++j) {
                if (auto m = merged(texts[i], texts[j])) {
                    texts[i] = *m;
                    texts.removeAt(j);
                    changed = true;
                }
            }
        }
    }
    return texts;
}

std::optional<Song> parseTwoLines(const std::vector<OcrLine>& lines)
{
    if (lines.size() < 2)
        return std::nullopt;
    struct Candidate {
        Song song;
        double x;
        double gap;
    };
    std::optional<Candidate> best;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        for (std::size_t j = i + 1; j < lines.size(); ++j) {
            const OcrLine& a = lines[i];
            const OcrLine& b = lines[j];
            if (!(b.yTop > a.yTop))
                continue;
            const QString title = clean(a.text);
            const QString artist = clean(b.text);
            if (!ok(title, 2) || !ok(artist, 2) || title.contains(kDash) || artist.contains(kDash))
                continue;
            if (std::abs(a.x - b.x) > kMaxLeftEdgeDifference_pt)
                continue;
            if (!(a.height >= kMinTitleToArtistHeight * b.height))
                continue;
            const double gap = b.yTop - (a.yTop + a.height);
            if (!(gap >= kMinGap_pt && gap <= kMaxGap_pt))
                continue;
            if (!Song::isValid(artist, title))
                continue;
            const Candidate candidate{Song{title, artist}, std::min(a.x, b.x), gap};
            if (!best || candidate.x < best->x || (candidate.x == best->x && candidate.gap < best->gap))
                best = candidate;
        }
    }
    if (!best)
        return std::nullopt;
    return best->song;
}

std::optional<Song> agreedSong(window_player::Player player, const std::vector<std::vector<OcrLine>>& passes)
{
    switch (player) {
    case window_player::Player::netease:
        return agreedTwoLineSong(passes);
    case window_player::Player::kugou:
    case window_player::Player::qq:
        return agreedOneLineSong(passes);
    }
    return std::nullopt;
}

} // namespace window_text
