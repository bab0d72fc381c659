#include "keydetect/v5/key_classes.h"
#include "keydetect/v5/windows.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace v5_windows;

TEST(WindowStarts, ShortExactAndLongAudioAndNonsenseRates)
{
    EXPECT_TRUE(windowStarts(static_cast<long long>(29.99 * 44100), 44100.0).empty());
    EXPECT_EQ(windowStarts(30 * 44100, 44100.0), (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(windowStarts(45 * 44100, 44100.0), (std::vector<double>{0.0, 7.5, 15.0}));
    for (const double rate : {0.0, -44100.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_TRUE(windowStarts(45 * 44100, rate).empty()) << rate;
        EXPECT_EQ(windowLength(rate), 0) << rate;
        EXPECT_TRUE(resampleWindow(std::vector<float>{1.0f}, rate).empty()) << rate;
    }
}

TEST(ResampleWindow, InterpolatesSlowerRatesAndHoldsTheLastSample)
{
    // 11025 Hz: each input sample spans two output samples, the midpoints interpolate.
    const auto out = resampleWindow(std::vector<float>{0.0f, 1.0f, 3.0f}, 11025.0);
    ASSERT_EQ(out.size(), 661500u);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 6), (std::vector<float>{0, 0.5f, 1, 2, 3, 3}));
    EXPECT_FLOAT_EQ(out[661499], 3.0f);
    EXPECT_TRUE(resampleWindow({}, 44100.0).empty());
}

TEST(KeyClasses, ParseKeyAndSameScale)
{
    const auto minor = key_classes::parseKey(QStringLiteral("  A#   小调 "));
    ASSERT_TRUE(minor);
    EXPECT_EQ(minor->root, 10);
    EXPECT_TRUE(minor->minor);
    // C major and D# minor: three semitones the other way share only three notes.
    const std::tuple<const char*, const char*, bool> pairs[] = {
        {"C 大调", "A 小调", true},  {"A 小调", "C 大调", true},    {"E 大调", "E 大调", true},
        {"A# 大调", "G 小调", true}, {"C 大调", "C 小调", false},   {"C 大调", "G 大调", false},
        {"H 大调", "H 大调", false}, {"Bb 大调", "Bb 大调", false}, {"C#/Db 大调", "C#/Db 大调", false},
        {"C 大调", "", false},       {"C 大调", "D# 小调", false},  {"A 小调", "F# 大调", false},
    };
    for (const auto& [a, b, same] : pairs)
        EXPECT_EQ(key_classes::sameScale(QString::fromUtf8(a), QString::fromUtf8(b)), same)
            << a << " / " << b;
}
