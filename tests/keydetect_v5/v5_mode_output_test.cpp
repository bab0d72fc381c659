#include "keydetect/v5/v5_mode_output.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace v5_mode_output;

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

// (Reading an odd size and a missing file: the offline modes' test.)
TEST(V5ModeOutput, FloatFilesRoundTrip)
{
    QTemporaryDir dir;
    const std::vector<float> values = {1.5f, -2.0f, 3.25f};
    ASSERT_TRUE(writeFloats(dir.filePath(QStringLiteral("dump.f32")), values));
    EXPECT_EQ(readFloats(dir.filePath(QStringLiteral("dump.f32"))), values);
    EXPECT_FALSE(writeFloats(dir.filePath(QStringLiteral("no/such/dir/x.f32")), values));
}
