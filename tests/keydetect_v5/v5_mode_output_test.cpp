#include "keydetect/v5/v5_mode_output.h"

#include <gtest/gtest.h>

using namespace v5_mode_output;

// (The float files are the offline modes' test's: a dump read back, an odd size, a bad path.)
TEST(V5ModeOutput, FeaturesLineNeedsExactly24Probabilities)
{
    std::vector<double> p(24, 0.0);
    p[0] = 0.45;
    p[9 + 12] = 0.45; // tie: C major (index 0) wins with margin 0
    p[7] = 0.1;
    EXPECT_EQ(featuresLine(p), QStringLiteral("key=C 大调 confidence=45.0% margin=0.0%"));
    p[21] = 0.5;
    EXPECT_EQ(featuresLine(p), QStringLiteral("key=A 小调 confidence=50.0% margin=5.0%"));
    EXPECT_FALSE(featuresLine(std::vector<double>(23, 0.1)));
    EXPECT_FALSE(featuresLine({}));
}

TEST(V5ModeOutput, StartOperandIsAWholeCLocaleNumber)
{
    const QString in = QStringLiteral("in.mp3"), out = QStringLiteral("out.f32");
    EXPECT_EQ(startSecondsOperand({in, out}), 0.0);
    EXPECT_EQ(startSecondsOperand({in, out, QStringLiteral("12.5")}), 12.5);
    for (const char* text : {"12,5", "12s", "abc", "nan", "inf"})
        EXPECT_EQ(startSecondsOperand({in, out, QString::fromLatin1(text)}), 0.0) << text;
}
