#include "core/app_state.h"
#include "core/key_notation.h"
#include "support/text.h"

#include <gtest/gtest.h>

TEST(KeyNotation, AcceptsExactlyTheSeventeenNoteNames)
{
    const std::pair<const char*, int> accepted[] = {
        {"C", 0},  {"C#", 1}, {"Db", 1}, {"D", 2},  {"D#", 3}, {"Eb", 3},  {"E", 4},   {"F", 5},  {"F#", 6},
        {"Gb", 6}, {"G", 7},  {"G#", 8}, {"Ab", 8}, {"A", 9},  {"A#", 10}, {"Bb", 10}, {"B", 11},
    };
    for (const auto& [name, semitone] : accepted)
        EXPECT_EQ(key_notation::noteSemitone(u(name)), semitone) << name;

    for (const char* rejected :
         {"c", "db", "B#", "Cb", "E#", "Fb", "C##", "Dbb", "C♯", "D♭", " C", "C ", "H", ""})
        EXPECT_FALSE(key_notation::noteSemitone(u(rejected)).has_value()) << rejected;

    // Display names read back through their first piece.
    for (int s = 0; s < 12; ++s)
        EXPECT_EQ(key_notation::noteSemitone(key_notation::displayName(s)), s);
    EXPECT_EQ(AppState::noteSemitone(u("A#/Bb")), 10);
}

TEST(KeyNotation, NormalizeKeepsTheRestOfTheText)
{
    EXPECT_EQ(key_notation::normalizeKeyNotation(u("Db 大调")), u("C#/Db 大调"));
    EXPECT_EQ(key_notation::normalizeKeyNotation(u("C#/Db 小调")), u("C#/Db 小调"));
    EXPECT_EQ(key_notation::normalizeKeyNotation(u("Gb")), u("F#/Gb"));
    EXPECT_EQ(key_notation::normalizeKeyNotation(u("Eb 小调 （库）")), u("D#/Eb 小调 （库）"));
}

TEST(KeyNotation, DisplayKeyExamples)
{
    struct Case {
        const char* keyText;
        bool manualScale;
        int transpose;
        const char* shown;
    };
    const Case cases[] = {
        {"识别中…", false, 0, "识别中…"},       {"Db 大调", false, 0, "C#/Db 大调"},
        {"C 大调", false, 12, "C 大调（+12）"}, {"B 大调", false, 1, "C 大调（+1）"},
        {"C 小调", false, -1, "B 小调（-1）"},  {"A 小调", false, -2, "G 小调（-2）"},
        {"C 半音阶", true, 0, "C（本体手动）"}, {"C 大调", true, 3, "D#/Eb（本体手动 +3）"},
        {"c 大调", false, 5, "c 大调"},         {"E", false, 0, "E"},
        {"E", false, -13, "D#/Eb（-13）"},      {"F# 小调", false, 6, "C 小调（+6）"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(key_notation::displayKey(u(c.keyText), c.manualScale, c.transpose), u(c.shown))
            << c.keyText;
}
