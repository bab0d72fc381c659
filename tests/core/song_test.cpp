#include "core/song.h"
#include "support/text.h"

#include <gtest/gtest.h>

namespace {

struct ValidCase {
    const char* artist;
    const char* title;
    bool valid;
};

struct SameCase {
    const char* titleA;
    const char* artistA;
    const char* titleB;
    const char* artistB;
    bool same;
};

} // namespace

TEST(SongIsValid, PlausibilityRules)
{
    const QString title80 = QStringLiteral("  ") + QString(80, QLatin1Char('a')) + QStringLiteral("  ");
    const QString title81 = QString(81, QLatin1Char('a'));
    EXPECT_TRUE(Song::isValid(u("rur"), title80));
    EXPECT_FALSE(Song::isValid(u("rur"), title81));

    const ValidCase cases[] = {
        {"   ", "晴天", false}, // artist only spaces
        {"rur", "晴", true},    // one Han character suffices
        {"rur", "3:45", false}, // a play time, not a title
        {"rur", "01:02:03 / 04:00", false},
        {"rur", "Song 3:45", false}, // a clock bounded by blanks anywhere
        {"rur", "Song3:45", true},   // not bounded: part of a word
        {"rur", "A1", false},        // no run of two letters
        {"周杰伦", "晴天", true},
        {"Jay Chou", "Sunny Day", true},
        {"\n", "Sunny", false},
        {"rur", "", false},
        {"!!", "Sunny", false}, // artist of symbols only
        {"Beyoncé", "Halo", true},
    };
    for (const ValidCase& c : cases)
        EXPECT_EQ(Song::isValid(u(c.artist), u(c.title)), c.valid) << c.artist << " / " << c.title;

    // Family emoji joined with ZWJ count as one character each, not as their UTF-16 units.
    QString family;
    for (int i = 0; i < 79; ++i)
        family += u("👨‍👩‍👧");
    EXPECT_EQ(song_rules::graphemeCount(family), 79);
    EXPECT_TRUE(Song::isValid(u("rur"), u("晴") + family));
    EXPECT_FALSE(Song::isValid(u("rur"), u("晴天") + family));
}

TEST(SongCompactForm, FoldsCaseWidthAndAccentsAndDropsSymbols)
{
    EXPECT_EQ(song_rules::compactForm(u("Ｈｅｌｌｏ，Ｗｏｒｌｄ！")), u("helloworld"));
    EXPECT_EQ(song_rules::compactForm(u("Café Déjà-vu")), u("cafedejavu"));
    EXPECT_EQ(song_rules::compactForm(u("晴天 (Live) 🎵")), u("晴天live"));
    EXPECT_EQ(song_rules::compactForm(u("사랑해")), u("사랑해"));
    EXPECT_EQ(song_rules::compactForm(u("…!?")), QString());
}

TEST(SongIsSameSong, Examples)
{
    const SameCase cases[] = {
        {"晴天", "周杰伦", "晴天（现场）", "周杰伦", false}, // change markers differ
        {"晴天 live", "周杰伦", "晴天LIVE", "周杰伦", true},
        {"晴天", "A feat. B", "晴天", "b", true},
        {"晴天", "A", "晴天", "C", false},
        {"ab", "", "abc", "", false}, // shorter below 3 characters
        {"abc", "", "xabcx", "", true},
        {"abcde", "", "abxyz", "", false}, // 2 of 5 shared
        {"abcde", "", "abcxy", "", true},  // 3 of 5 shared
        {"Song", "X", "Song - Radio Edit", "X", true},
        {"晴天", "", "晴天", "周杰伦", true}, // an empty artist never blocks
        {"晴天", "周杰伦", "晴天", "", true},
        {"!!!", "", "!!!", "", false},                  // empty compact titles never match
        {"晴天 女声 live", "", "晴天 live", "", false}, // marker sets differ
        {"晴天 女声 live", "", "晴天 live 女声", "", true},
        {"Ｓｕｎｎｙ Ｄａｙ", "周杰倫", "sunny day", "周杰倫", true},
        {"Sunny Day", "Jay Chou & JJ Lin", "Sunny Day", "JJ Lin", true},
        {"Sunny Day", "Jay Chou、JJ Lin", "Sunny Day", "Mayday", false},
        {"Sunny Day", "周杰伦／林俊杰", "Sunny Day", "林俊杰", true},
        {"Remix Song", "", "Remix Song", "", true}, // same marker on both sides
        {"Song", "", "Song DJ版", "", false},
        // OCR noise
        {"七里香", "周杰伦", "七里香 -", "周杰伦 ", true},
        {"Bohemian Rhapsody", "Queen", "Bohemian Rhapsodv", "Queen", true},
    };
    for (const SameCase& c : cases) {
        const Song a{u(c.titleA), u(c.artistA)};
        const Song b{u(c.titleB), u(c.artistB)};
        EXPECT_EQ(Song::isSameSong(a, b), c.same)
            << c.titleA << " | " << c.artistA << " vs " << c.titleB << " | " << c.artistB;
    }
}
