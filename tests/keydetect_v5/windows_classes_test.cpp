// Window cutting, resampling and the class/key-text rules of the neural detector.
#include "keydetect/v5/key_classes.h"
#include "keydetect/v5/windows.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numeric>

using namespace v5_windows;

TEST(WindowStarts, ShortExactAndLongAudio)
{
    EXPECT_TRUE(windowStarts(static_cast<long long>(29.99 * 44100), 44100.0).empty());
    EXPECT_EQ(windowStarts(30 * 44100, 44100.0), (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(windowStarts(45 * 44100, 44100.0), (std::vector<double>{0.0, 7.5, 15.0}));
    EXPECT_TRUE(windowStarts(45 * 44100, 0.0).empty());
    EXPECT_TRUE(windowStarts(45 * 44100, std::nan("")).empty());
    EXPECT_EQ(windowLength(std::nan("")), 0);
    EXPECT_EQ(windowLength(-44100.0), 0);
    EXPECT_EQ(windowLength(44100.0), 1323000);
}

TEST(ResampleWindow, HalvesA44kWindowByTakingEveryOtherSample)
{
    std::vector<float> ramp(1323000);
    std::iota(ramp.begin(), ramp.end(), 0.0f);
    const auto out = resampleWindow(ramp, 44100.0);
    ASSERT_EQ(out.size(), 661500u);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 2.0f);
    EXPECT_EQ(out[661499], 1322998.0f);
}

TEST(ResampleWindow, InterpolatesStretchesAndRejectsNonsense)
{
    // 11025 Hz: each input sample spans two output samples, the midpoints interpolate.
    const std::vector<float> x = {0.0f, 1.0f, 3.0f};
    const auto out = resampleWindow(x, 11025.0);
    ASSERT_EQ(out.size(), 661500u);
    EXPECT_FLOAT_EQ(out[1], 0.5f);
    EXPECT_FLOAT_EQ(out[3], 2.0f);
    EXPECT_FLOAT_EQ(out[4], 3.0f);
    EXPECT_FLOAT_EQ(out[661499], 3.0f); // the last sample is held
    EXPECT_TRUE(resampleWindow({}, 44100.0).empty());
    EXPECT_TRUE(resampleWindow(x, 0.0).empty());
    EXPECT_TRUE(resampleWindow(x, -44100.0).empty());
}

TEST(KeyClasses, IndexToKeyName)
{
    EXPECT_EQ(key_classes::keyName(21), QStringLiteral("A 小调"));
    EXPECT_EQ(key_classes::keyName(0), QStringLiteral("C 大调"));
    EXPECT_EQ(key_classes::keyName(11), QStringLiteral("B 大调"));
    EXPECT_EQ(key_classes::keyName(13), QStringLiteral("C# 小调"));
}

TEST(KeyClasses, RankingIsStableOnTies)
{
    std::vector<double> p(24, 0.01);
    p[21] = 0.5;
    p[3] = 0.2;
    EXPECT_EQ(key_classes::rankClasses(p).best, 21);
    EXPECT_EQ(key_classes::rankClasses(p).second, 3);
    p[4] = 0.5; // tie with 21: the lower index ranks first
    EXPECT_EQ(key_classes::rankClasses(p).best, 4);
    EXPECT_EQ(key_classes::rankClasses(p).second, 21);
    const std::vector<double> flat(24, 1.0 / 24);
    EXPECT_EQ(key_classes::rankClasses(flat).best, 0);
    EXPECT_EQ(key_classes::rankClasses(flat).second, 1);
}

TEST(KeyClasses, ParseKey)
{
    const auto minor = key_classes::parseKey(QStringLiteral("  A#   小调 "));
    ASSERT_TRUE(minor);
    EXPECT_EQ(minor->root, 10);
    EXPECT_TRUE(minor->minor);
    EXPECT_FALSE(key_classes::parseKey(QStringLiteral("Bb 大调"))); // detectors write sharps
    EXPECT_FALSE(key_classes::parseKey(QStringLiteral("")));
    EXPECT_FALSE(key_classes::parseKey(QStringLiteral("C#/Db 大调")));
}

TEST(KeyClasses, SameScale)
{
    using key_classes::sameScale;
    EXPECT_TRUE(sameScale(QStringLiteral("C 大调"), QStringLiteral("A 小调")));
    EXPECT_TRUE(sameScale(QStringLiteral("A 小调"), QStringLiteral("C 大调")));
    EXPECT_TRUE(sameScale(QStringLiteral("E 大调"), QStringLiteral("E 大调")));
    EXPECT_TRUE(sameScale(QStringLiteral("A# 大调"), QStringLiteral("G 小调")));
    EXPECT_FALSE(sameScale(QStringLiteral("C 大调"), QStringLiteral("C 小调")));
    EXPECT_FALSE(sameScale(QStringLiteral("C 大调"), QStringLiteral("G 大调")));
    EXPECT_FALSE(sameScale(QStringLiteral("H 大调"), QStringLiteral("H 大调")));
    EXPECT_FALSE(sameScale(QStringLiteral("C 大调"), QStringLiteral("")));
    // Roots three semitones apart the other way round share only three notes.
    EXPECT_FALSE(sameScale(QStringLiteral("C 大调"), QStringLiteral("D# 小调")));
    EXPECT_FALSE(sameScale(QStringLiteral("A 小调"), QStringLiteral("F# 大调")));
}
