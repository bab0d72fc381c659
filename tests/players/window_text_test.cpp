#include "players/window_choice.h"
#include "players/window_text.h"
#include "players/window_title.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

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

void expectSong(const std::optional<Song>& song, const QString& title, const QString& artist)
{
    ASSERT_TRUE(song.has_value());
    EXPECT_EQ(song->title, title);
    EXPECT_EQ(song->artist, artist);
}

} // namespace

TEST(WindowText, CleaningTrimsBlanksAndEllipsesButNotLineBreaks)
{
    EXPECT_EQ(window_text::clean(QStringLiteral(" \tBlue Sky…  ")), QStringLiteral("Blue Sky"));
    EXPECT_EQ(window_text::clean(QStringLiteral("... Anna ... Lee ...")), QStringLiteral("Anna  Lee"));
    EXPECT_EQ(window_text::clean(QStringLiteral("Rain\n")), QStringLiteral("Rain\n"));
    EXPECT_EQ(window_text::junkWords().size(), 21);
    EXPECT_TRUE(window_text::ok(QStringLiteral("晴天"), 2));
    EXPECT_FALSE(window_text::ok(QStringLiteral("晴"), 2));
    EXPECT_FALSE(window_text::ok(QString(41, u'a'), 1));
    EXPECT_FALSE(window_text::ok(QStringLiteral("MV 晴天"), 1));
}

TEST(WindowText, SingleLineSplitsAtTheLastHyphenAndSkipsShortLongAndJunkLines)
{
    expectSong(window_text::parseSingleLine({QStringLiteral("Half-Life - Rain")}),
               QStringLiteral("Half-Life"), QStringLiteral("Rain"));
    // An artist with a hyphen is cut: the last hyphen decides.
    expectSong(window_text::parseSingleLine({QStringLiteral("Song - Jay-Zed")}), QStringLiteral("Song - Jay"),
               QStringLiteral("Zed"));
    EXPECT_FALSE(window_text::parseSingleLine({QStringLiteral("a-b")}));
    EXPECT_FALSE(window_text::parseSingleLine({QStringLiteral("播放列表 - 我的")}));
    EXPECT_FALSE(
        window_text::parseSingleLine({QString(30, u'x') + QStringLiteral(" - ") + QString(10, u'y')}));
    // Hostile lines: nothing but dashes, a lone surrogate, emptiness.
    EXPECT_FALSE(window_text::parseSingleLine({QStringLiteral("----"), QStringLiteral(" - "), QString()}));
    EXPECT_FALSE(
        window_text::parseSingleLine({QString(QChar(0xD800)) + QStringLiteral("xx - ") + QChar(0xDC00)}));
    // The longest title wins; a later equal one does not replace it.
    expectSong(window_text::parseSingleLine({QStringLiteral("Sky - A"), QStringLiteral("Blue Sky - Anna Lee"),
                                             QStringLiteral("Red Sun - Bob Dyl")}),
               QStringLiteral("Blue Sky"), QStringLiteral("Anna Lee"));
}

TEST(WindowText, ScrollingFragmentsMergeOnTheLargestOverlap)
{
    EXPECT_EQ(
        window_text::mergeScrolling({QStringLiteral("Blue Sky - An"), QStringLiteral("Sky - Anna Lee")}),
        QStringList{QStringLiteral("Blue Sky - Anna Lee")});
    // Either order, containment, duplicates and empty texts.
    EXPECT_EQ(window_text::mergeScrolling({QStringLiteral("Sky - Anna Lee"), QString(),
                                           QStringLiteral("Blue Sky - An"), QStringLiteral("Anna"),
                                           QStringLiteral("Sky - Anna Lee")}),
              QStringList{QStringLiteral("Blue Sky - Anna Lee")});
    // One shared character is no overlap.
    EXPECT_EQ(window_text::mergeScrolling({QStringLiteral("abc"), QStringLiteral("cde")}).size(), 2);
    // Chinese fragments merge by characters.
    EXPECT_EQ(window_text::mergeScrolling({QStringLiteral("晴天 - 周"), QStringLiteral("天 - 周杰伦")}),
              QStringList{QStringLiteral("晴天 - 周杰伦")});
    // Many long fragments end in bounded work and one text.
    QStringList many;
    for (int i = 0; i < 200; ++i)
        many.push_back(QString(500, QChar(u'a' + i % 3)));
    EXPECT_EQ(window_text::mergeScrolling(many).size(), 3);
}

TEST(WindowText, TwoLineLayoutNeedsAlignedStackedLines)
{
    expectSong(window_text::parseTwoLines(twoLines(QStringLiteral("晴天"), QStringLiteral("周杰伦"))),
               QStringLiteral("晴天"), QStringLiteral("周杰伦"));
    EXPECT_FALSE(window_text::parseTwoLines(twoLines(QStringLiteral("晴天"), QStringLiteral("周杰伦"), 60)));
    EXPECT_FALSE(window_text::parseTwoLines(
        {OcrLine{QStringLiteral("晴天"), 10, 10, 16}, OcrLine{QStringLiteral("周杰伦"), 23, 30, 14}}));
    EXPECT_FALSE(window_text::parseTwoLines(twoLines(QStringLiteral("Half-Life"), QStringLiteral("Rain"))));
    EXPECT_FALSE(window_text::parseTwoLines(
        {OcrLine{QStringLiteral("晴天"), 10, 10, 10}, OcrLine{QStringLiteral("周杰伦"), 10, 22, 14}}));
    EXPECT_FALSE(window_text::parseTwoLines({OcrLine{QStringLiteral("晴天"), 0, 0, 16}}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(window_text::parseTwoLines(
        {OcrLine{QStringLiteral("晴天"), nan, 10, 16}, OcrLine{QStringLiteral("周杰伦"), 10, 30, nan}}));
    // The left-most pair wins over a pair further right.
    expectSong(window_text::parseTwoLines({OcrLine{QStringLiteral("别的歌"), 40, 0, 16},
                                           OcrLine{QStringLiteral("晴天"), 10, 10, 16},
                                           OcrLine{QStringLiteral("某歌手"), 40, 20, 14},
                                           OcrLine{QStringLiteral("周杰伦"), 12, 30, 14}}),
               QStringLiteral("晴天"), QStringLiteral("周杰伦"));
}

TEST(WindowText, PassesMustAgree)
{
    const auto blue = oneLine(QStringLiteral("Blue Sky - Anna Lee"));
    expectSong(window_text::agreedSong(Player::kugou, {blue, oneLine(QStringLiteral("3:45")), blue,
                                                       oneLine(QStringLiteral("x - y1")), blue}),
               QStringLiteral("Blue Sky"), QStringLiteral("Anna Lee"));
    expectSong(window_text::agreedSong(
                   Player::qq,
                   {oneLine(QStringLiteral("Blue Sky - An")), {}, oneLine(QStringLiteral("Sky - Anna Lee"))}),
               QStringLiteral("Blue Sky"), QStringLiteral("Anna Lee"));
    EXPECT_FALSE(window_text::agreedSong(Player::kugou, {blue, {}, {}}));
    EXPECT_FALSE(window_text::agreedSong(Player::kugou,
                                         {oneLine(QStringLiteral("3:45")), oneLine(QStringLiteral("3:46"))}));
    // A bar that changes every pass: no line merges with another, so none is agreed on.
    EXPECT_FALSE(window_text::agreedSong(Player::kugou, {oneLine(QStringLiteral("Cold Rain - Ann Wu")),
                                                         oneLine(QStringLiteral("Red Sun - Bob Marley")),
                                                         oneLine(QStringLiteral("Wild Fox - Dan Brown"))}));

    const auto sunny = twoLines(QStringLiteral("晴天"), QStringLiteral("周杰伦"));
    expectSong(window_text::agreedSong(Player::netease, {sunny, {}, sunny}), QStringLiteral("晴天"),
               QStringLiteral("周杰伦"));
    EXPECT_FALSE(window_text::agreedSong(
        Player::netease, {sunny, twoLines(QStringLiteral("稻香"), QStringLiteral("某人")), {}, {}, {}}));
}

TEST(WindowChoice, SortAndTheFourWaysOfChoosing)
{
    using window_choice::Candidate;
    const Candidate kugouBehind{1, QRectF(0, 0, 800, 600), 11, Player::kugou};
    const Candidate qqTop{2, QRectF(0, 0, 800, 600), 12, Player::qq};
    const Candidate neteaseOff{3, QRectF(0, 0, 1000, 700), 13, Player::netease};
    const Candidate kugouOff{4, QRectF(0, 0, 900, 700), 11, Player::kugou};
    const QHash<quint32, int> order{{2, 0}, {1, 3}};

    // 1: the frontmost player's first window, even below another player's.
    auto c = window_choice::choose({qqTop, kugouBehind}, order, Player::kugou, 11, std::nullopt);
    EXPECT_EQ(c->candidate.window, 1u);
    EXPECT_EQ(c->pin, Player::kugou);
    // 2: no player in front: the top-most on-screen window.
    c = window_choice::choose({kugouBehind, qqTop, neteaseOff}, order, std::nullopt, std::nullopt,
                              Player::netease);
    EXPECT_EQ(c->candidate.window, 2u);
    EXPECT_EQ(c->pin, Player::qq);
    // 3: nothing on screen: the pinned player.
    c = window_choice::choose({kugouOff, neteaseOff}, {}, std::nullopt, std::nullopt, Player::kugou);
    EXPECT_EQ(c->candidate.window, 4u);
    EXPECT_EQ(c->pin, Player::kugou);
    // 4: no pin: the largest off-screen window, and the pin stays unset.
    c = window_choice::choose({kugouOff, neteaseOff}, {}, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(c->candidate.window, 3u);
    EXPECT_FALSE(c->pin);
    // Equal positions: the frontmost process's window first.
    c = window_choice::choose({neteaseOff, kugouOff}, {}, std::nullopt, 11, std::nullopt);
    EXPECT_EQ(c->candidate.window, 4u);
    EXPECT_FALSE(window_choice::choose({}, order, Player::kugou, 11, Player::kugou));
}

TEST(WindowChoice, BarCropSizes)
{
    EXPECT_FALSE(window_choice::barCrop(Player::kugou, 599, 600));
    EXPECT_FALSE(window_choice::barCrop(Player::kugou, 600, 399));
    EXPECT_FALSE(window_choice::barCrop(Player::kugou, std::nan(""), 600));
    EXPECT_EQ(*window_choice::barCrop(Player::kugou, 800, 600), QRectF(135, 500, 465, 100));
    EXPECT_EQ(*window_choice::barCrop(Player::qq, 601, 400), QRectF(240.4, 300, 210.6, 100));
    EXPECT_EQ(*window_choice::barCrop(Player::netease, 800, 600), QRectF(96, 520, 504, 80));
}

TEST(WindowTitle, EachPlayersTitleFormat)
{
    using window_player::Player;
    struct Case {
        Player player;
        QString title;
        std::optional<std::pair<QString, QString>> song; // title, artist
    };
    const std::vector<Case> cases = {
        {Player::netease, QStringLiteral("稻香 - 周杰伦"),
         std::pair{QStringLiteral("稻香"), QStringLiteral("周杰伦")}},
        {Player::netease, QStringLiteral("Song - Live - Band"),
         std::pair{QStringLiteral("Song - Live"), QStringLiteral("Band")}},
        {Player::kugou, QStringLiteral("周杰伦 - 晴天 - 酷狗音乐"),
         std::pair{QStringLiteral("晴天"), QStringLiteral("周杰伦")}},
        // Kugou's marquee, caught mid-scroll and with its own name cut at the wrap.
        {Player::kugou, QStringLiteral("还是他 - 酷狗音乐 陶喆 - 爱我"),
         std::pair{QStringLiteral("爱我还是他"), QStringLiteral("陶喆")}},
        {Player::kugou, QStringLiteral("狗音乐 陶喆 - 爱我还是他 - 酷"),
         std::pair{QStringLiteral("爱我还是他"), QStringLiteral("陶喆")}},
        {Player::kugou, QStringLiteral("酷狗音乐"), std::nullopt},
        {Player::kugou, QStringLiteral("桌面歌词 - 酷狗"), std::nullopt},
        // Control characters are spaces to the parser.
        {Player::netease, QStringLiteral("Song\t-\u0007 Band"),
         std::pair{QStringLiteral("Song"), QStringLiteral("Band")}},
        {Player::netease, QStringLiteral("网易云音乐"), std::nullopt},
        {Player::qq, QStringLiteral("qqmusic"), std::nullopt},
        {Player::netease, QStringLiteral("A - 网易云音乐"), std::nullopt},
        {Player::netease, QString(10000, u'x') + QStringLiteral(" - Band"), std::nullopt},
    };
    for (const Case& c : cases) {
        const auto song = window_title::parse(c.player, c.title);
        ASSERT_EQ(song.has_value(), c.song.has_value()) << c.title.left(40).toStdString();
        if (song) {
            EXPECT_EQ(song->title, c.song->first);
            EXPECT_EQ(song->artist, c.song->second);
        }
    }
    const auto spotify =
        window_title::parseSpotify(QStringLiteral("Queen - Bohemian Rhapsody - Remastered 2011"));
    ASSERT_TRUE(spotify);
    EXPECT_EQ(spotify->artist, QStringLiteral("Queen"));
    EXPECT_EQ(spotify->title, QStringLiteral("Bohemian Rhapsody - Remastered 2011"));
    for (const char* notASong :
         {"Spotify Premium", "Spotify", "Spotify - Advertisement", "Advertisement - Shop"})
        EXPECT_FALSE(window_title::parseSpotify(QString::fromUtf8(notASong))) << notASong;
    // The accompaniment loop follows the player a window label names.
    EXPECT_EQ(window_player::sourceOfLabel(QStringLiteral("窗口识别(网易云音乐)")), PlayerSource::netease);
    EXPECT_FALSE(window_player::sourceOfLabel(QStringLiteral("窗口识别(Spotify)")));
    EXPECT_TRUE(window_title::isLyricWindow(QStringLiteral(" 歌词 ")));
    EXPECT_FALSE(window_title::isLyricWindow(QStringLiteral("歌词本 - 某人")));
}
