#include "players/window_choice.h"
#include "players/window_text.h"
#include "players/window_title.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace Qt::StringLiterals;
using window_player::Player;
using window_text::OcrLine;

namespace {

std::vector<OcrLine> oneLine(const QString& text)
{
    return {OcrLine{text, 0, 10, 16}};
}

std::vector<OcrLine> twoLines(const QString& title, const QString& artist, double artistTop = 30)
{
    return {OcrLine{title, 10, 10, 16}, OcrLine{artist, 15, artistTop, 14}};
}

// "title|artist", or empty for no song.
QString text(const std::optional<Song>& song)
{
    return song ? song->title + u'|' + song->artist : QString();
}

} // namespace

TEST(WindowText, SingleLineSplitsAtTheLastHyphenAndSkipsShortLongAndJunkLines)
{
    // An artist with a hyphen is cut: the last hyphen decides. Hostile lines: nothing but
    // dashes, a lone surrogate, emptiness. The longest title wins; a later equal one does not
    // replace it.
    const std::pair<QStringList, QString> cases[] = {
        {{u"Half-Life - Rain"_s}, u"Half-Life|Rain"_s},
        {{u"Song - Jay-Zed"_s}, u"Song - Jay|Zed"_s},
        {{u"a-b"_s}, {}},
        {{u"播放列表 - 我的"_s}, {}},
        {{QString(30, u'x') + u" - "_s + QString(10, u'y')}, {}},
        {{u"----"_s, u" - "_s, QString()}, {}},
        {{QString(QChar(0xD800)) + u"xx - "_s + QChar(0xDC00)}, {}},
        {{u"Sky - A"_s, u"Blue Sky - Anna Lee"_s, u"Red Sun - Bob Dyl"_s}, u"Blue Sky|Anna Lee"_s},
    };
    for (const auto& [lines, song] : cases)
        EXPECT_EQ(text(window_text::parseSingleLine(lines)), song) << lines.join(u'/').toStdString();
    // Blanks and ellipses go; too short, too long and junk texts are refused.
    EXPECT_EQ(window_text::clean(u" \tBlue Sky…  "_s), u"Blue Sky"_s);
    EXPECT_FALSE(window_text::ok(u"晴"_s, 2) || window_text::ok(QString(41, u'a'), 1) ||
                 window_text::ok(u"MV 晴天"_s, 1));
}

TEST(WindowText, ScrollingFragmentsMergeOnTheLargestOverlap)
{
    const QStringList blueSky{u"Blue Sky - Anna Lee"_s};
    EXPECT_EQ(window_text::mergeScrolling({u"Blue Sky - An"_s, u"Sky - Anna Lee"_s}), blueSky);
    // Either order, containment, duplicates and empty texts.
    EXPECT_EQ(window_text::mergeScrolling(
                  {u"Sky - Anna Lee"_s, QString(), u"Blue Sky - An"_s, u"Anna"_s, u"Sky - Anna Lee"_s}),
              blueSky);
    // One shared character is no overlap.
    EXPECT_EQ(window_text::mergeScrolling({u"abc"_s, u"cde"_s}).size(), 2);
    // Chinese fragments merge by characters.
    EXPECT_EQ(window_text::mergeScrolling({u"晴天 - 周"_s, u"天 - 周杰伦"_s}),
              QStringList{u"晴天 - 周杰伦"_s});
    // Many long fragments end in bounded work and one text.
    QStringList many;
    for (int i = 0; i < 200; ++i)
        many.push_back(QString(500, QChar(u'a' + i % 3)));
    EXPECT_EQ(window_text::mergeScrolling(many).size(), 3);
}

TEST(WindowText, TwoLineLayoutNeedsAlignedStackedLines)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // The last row: the left-most pair wins over a pair further right.
    const std::pair<std::vector<OcrLine>, QString> cases[] = {
        {twoLines(u"晴天"_s, u"周杰伦"_s), u"晴天|周杰伦"_s},
        {twoLines(u"晴天"_s, u"周杰伦"_s, 60), {}},
        {{OcrLine{u"晴天"_s, 10, 10, 16}, OcrLine{u"周杰伦"_s, 23, 30, 14}}, {}},
        {twoLines(u"Half-Life"_s, u"Rain"_s), {}},
        {{OcrLine{u"晴天"_s, 10, 10, 10}, OcrLine{u"周杰伦"_s, 10, 22, 14}}, {}},
        {{OcrLine{u"晴天"_s, 0, 0, 16}}, {}},
        {{OcrLine{u"晴天"_s, nan, 10, 16}, OcrLine{u"周杰伦"_s, 10, 30, nan}}, {}},
        {{OcrLine{u"别的歌"_s, 40, 0, 16}, OcrLine{u"晴天"_s, 10, 10, 16}, OcrLine{u"某歌手"_s, 40, 20, 14},
          OcrLine{u"周杰伦"_s, 12, 30, 14}},
         u"晴天|周杰伦"_s},
    };
    int row = 0;
    for (const auto& [lines, song] : cases)
        EXPECT_EQ(text(window_text::parseTwoLines(lines)), song) << "row " << row++;
}

TEST(WindowText, PassesMustAgree)
{
    const auto blue = oneLine(u"Blue Sky - Anna Lee"_s);
    const auto sunny = twoLines(u"晴天"_s, u"周杰伦"_s);
    // The fifth row: a bar that changes every pass, so no line merges with another.
    const std::tuple<Player, std::vector<std::vector<OcrLine>>, QString> cases[] = {
        {Player::kugou, {blue, oneLine(u"3:45"_s), blue, oneLine(u"x - y1"_s), blue}, u"Blue Sky|Anna Lee"_s},
        {Player::qq, {oneLine(u"Blue Sky - An"_s), {}, oneLine(u"Sky - Anna Lee"_s)}, u"Blue Sky|Anna Lee"_s},
        {Player::kugou, {blue, {}, {}}, {}},
        {Player::kugou, {oneLine(u"3:45"_s), oneLine(u"3:46"_s)}, {}},
        {Player::kugou,
         {oneLine(u"Cold Rain - Ann Wu"_s), oneLine(u"Red Sun - Bob Marley"_s),
          oneLine(u"Wild Fox - Dan Brown"_s)},
         {}},
        {Player::netease, {sunny, {}, sunny}, u"晴天|周杰伦"_s},
        {Player::netease, {sunny, twoLines(u"稻香"_s, u"某人"_s), {}, {}, {}}, {}},
    };
    int row = 0;
    for (const auto& [player, passes, song] : cases)
        EXPECT_EQ(text(window_text::agreedSong(player, passes)), song) << "row " << row++;
}

TEST(WindowChoice, SortAndTheFourWaysOfChoosing)
{
    using window_choice::Candidate;
    const Candidate kugouBehind{1, QRectF(0, 0, 800, 600), 11, Player::kugou};
    const Candidate qqTop{2, QRectF(0, 0, 800, 600), 12, Player::qq};
    const Candidate neteaseOff{3, QRectF(0, 0, 1000, 700), 13, Player::netease};
    const Candidate kugouOff{4, QRectF(0, 0, 900, 700), 11, Player::kugou};
    const QHash<quint32, int> order{{2, 0}, {1, 3}};
    const auto expectChoice = [](const auto& c, quint32 window, std::optional<Player> pin) {
        ASSERT_TRUE(c);
        EXPECT_EQ(c->candidate.window, window);
        EXPECT_EQ(c->pin, pin);
    };
    // 1: the frontmost player's first window, even below another player's.
    expectChoice(window_choice::choose({qqTop, kugouBehind}, order, Player::kugou, 11, std::nullopt), 1,
                 Player::kugou);
    // 2: no player in front: the top-most on-screen window.
    expectChoice(window_choice::choose({kugouBehind, qqTop, neteaseOff}, order, std::nullopt, std::nullopt,
                                       Player::netease),
                 2, Player::qq);
    // 3: nothing on screen: the pinned player.
    expectChoice(window_choice::choose({kugouOff, neteaseOff}, {}, std::nullopt, std::nullopt, Player::kugou),
                 4, Player::kugou);
    // 4: no pin: the largest off-screen window, and the pin stays unset.
    expectChoice(window_choice::choose({kugouOff, neteaseOff}, {}, std::nullopt, std::nullopt, std::nullopt),
                 3, std::nullopt);
    // Equal positions: the frontmost process's window first.
    expectChoice(window_choice::choose({neteaseOff, kugouOff}, {}, std::nullopt, 11, std::nullopt), 4,
                 std::nullopt);
    EXPECT_FALSE(window_choice::choose({}, order, Player::kugou, 11, Player::kugou));

    // Too small or senseless windows have no bar to read.
    EXPECT_FALSE(window_choice::largeEnough(QRectF(0, 0, 599, 600)) ||
                 window_choice::largeEnough(QRectF(0, 0, 600, 399)));
    EXPECT_FALSE(window_choice::barCrop(Player::kugou, 599, 600));
    EXPECT_FALSE(window_choice::barCrop(Player::kugou, 600, 399));
    EXPECT_FALSE(window_choice::barCrop(Player::kugou, std::nan(""), 600));
    EXPECT_EQ(*window_choice::barCrop(Player::qq, 601, 400), QRectF(240.4, 300, 210.6, 100));
    EXPECT_EQ(*window_choice::barCrop(Player::netease, 800, 600), QRectF(96, 520, 504, 80));
}

TEST(WindowTitle, EachPlayersTitleFormat)
{
    // Kugou's marquee is caught mid-scroll and with its own name cut at the wrap; control
    // characters are spaces to the parser.
    const std::tuple<Player, QString, QString> cases[] = {
        {Player::netease, u"稻香 - 周杰伦"_s, u"稻香|周杰伦"_s},
        {Player::netease, u"Song - Live - Band"_s, u"Song - Live|Band"_s},
        {Player::kugou, u"周杰伦 - 晴天 - 酷狗音乐"_s, u"晴天|周杰伦"_s},
        {Player::kugou, u"还是他 - 酷狗音乐 陶喆 - 爱我"_s, u"爱我还是他|陶喆"_s},
        {Player::kugou, u"狗音乐 陶喆 - 爱我还是他 - 酷"_s, u"爱我还是他|陶喆"_s},
        {Player::kugou, u"酷狗音乐"_s, {}},
        {Player::kugou, u"桌面歌词 - 酷狗"_s, {}},
        {Player::netease, u"Song\t-\u0007 Band"_s, u"Song|Band"_s},
        {Player::netease, u"网易云音乐"_s, {}},
        {Player::qq, u"qqmusic"_s, {}},
        {Player::netease, u"A - 网易云音乐"_s, {}},
        {Player::netease, QString(10000, u'x') + u" - Band"_s, {}},
    };
    for (const auto& [player, title, song] : cases)
        EXPECT_EQ(text(window_title::parse(player, title)), song) << title.left(40).toStdString();
    EXPECT_EQ(text(window_title::parseSpotify(u"Queen - Bohemian Rhapsody - Remastered 2011"_s)),
              u"Bohemian Rhapsody - Remastered 2011|Queen"_s);
    for (const char* notASong :
         {"Spotify Premium", "Spotify", "Spotify - Advertisement", "Advertisement - Shop"})
        EXPECT_FALSE(window_title::parseSpotify(QString::fromUtf8(notASong))) << notASong;
    // The accompaniment loop follows the player a window label names.
    EXPECT_EQ(window_player::sourceOfLabel(u"窗口识别(网易云音乐)"_s), PlayerSource::netease);
    EXPECT_FALSE(window_player::sourceOfLabel(u"窗口识别(Spotify)"_s));
    EXPECT_TRUE(window_title::isLyricWindow(u" 歌词 "_s));
    EXPECT_FALSE(window_title::isLyricWindow(u"歌词本 - 某人"_s));
}
