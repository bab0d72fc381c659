#include "keydetect/key_detector_v2.h"
#include "keydetect/synth.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace {

constexpr double kRate = 44100.0;
using Chroma = KeyDetectorV2::Chroma;

QString keyName(int tonic, bool major)
{
    return KeyDetectorV2::keyName(tonic, major);
}

Chroma triadChroma(int root, bool major)
{
    Chroma c{};
    for (int interval : {0, major ? 4 : 3, 7})
        c[static_cast<size_t>((root + interval) % 12)] = 1.0 / 3.0;
    return c;
}

TEST(KeyDetectorV2Tables, FunctionalProfilesAndChordWeightsMatchTheHarmonyTables)
{
    const std::array<double, 12> fnMajor = {2.2, 0, 1.15, 0, 1.9, 1.0, 0, 2.05, 0, 1.6, 0, 1.05};
    const std::array<double, 12> fnMinor = {2.15, 0, 1.15, 2.0, 0, 1.3, 0, 2.2, 1.15, 0, 1.15, 0.6};
    const auto major = KeyDetectorV2::functional(true);
    const auto minor = KeyDetectorV2::functional(false);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_NEAR(major[i], fnMajor[i], 1e-12) << i;
        EXPECT_NEAR(minor[i], fnMinor[i], 1e-12) << i;
    }

    const auto aMinor = KeyDetectorV2::chordWeights(QStringLiteral("A 小调"));
    const QMap<QString, double> expected = {{"A m", 1.0},  {"E M", 0.8}, {"D m", 0.65},
                                            {"C M", 0.65}, {"G M", 0.6}, {"F M", 0.45}};
    EXPECT_EQ(aMinor, expected);
    EXPECT_EQ(KeyDetectorV2::chordWeights(QStringLiteral("B 大调")).value(QStringLiteral("D# m")), 0.3);
    EXPECT_TRUE(KeyDetectorV2::chordWeights(QStringLiteral("Bb 大调")).isEmpty());
    EXPECT_EQ(KeyDetectorV2::chordOfKey().size(), 24);

    const auto& triads = KeyDetectorV2::triads();
    EXPECT_EQ(triads[1].root, 0);
    EXPECT_FALSE(triads[1].major);
    EXPECT_NEAR(triads[1].tmpl[3], 0.5773502691896258, 1e-15);
    EXPECT_EQ(triads[1].tmpl[4], 0.0);
}

TEST(KeyDetectorV2Chroma, FrameCountFollowsTheWholeFramesThatFit)
{
    const auto tone = synth::sine(440, 1.0, kRate, 0.5f);
    EXPECT_TRUE(KeyDetectorV2::frameChromas(std::span(tone).first(16383), kRate).empty());
    EXPECT_EQ(KeyDetectorV2::frameChromas(std::span(tone).first(16384), kRate).size(), 1u);
    EXPECT_EQ(KeyDetectorV2::frameChromas(std::span(tone).first(16384 + 4095), kRate).size(), 1u);
    EXPECT_EQ(KeyDetectorV2::frameChromas(std::span(tone).first(16384 + 4096), kRate).size(), 2u);

    const std::vector<float> silence(20000, 0.0f);
    EXPECT_TRUE(KeyDetectorV2::frameChromas(silence, kRate).empty());
}

TEST(KeyDetectorV2Chroma, SinesLandOnTheirPitchClassInsideThePeakLimits)
{
    for (int pc = 0; pc < 12; ++pc) {
        const double f = 261.6255653005986 * std::pow(2.0, pc / 12.0);
        const auto frames = KeyDetectorV2::frameChromas(synth::sine(f, 1.0, kRate, 0.5f), kRate);
        ASSERT_FALSE(frames.empty()) << pc;
        for (const Chroma& c : frames)
            EXPECT_GT(c[static_cast<size_t>(pc)], 0.99) << pc;
    }
    const auto a = KeyDetectorV2::frameChromas(synth::sine(440, 1.0, kRate, 0.5f), kRate);
    EXPECT_GT(a.front()[9], 0.99);

    // Peaks below 60 Hz or above 6000 Hz are not musical evidence.
    EXPECT_TRUE(KeyDetectorV2::frameChromas(synth::sine(45, 1.0, kRate, 0.5f), kRate).empty());
    EXPECT_TRUE(KeyDetectorV2::frameChromas(synth::sine(7000, 1.0, kRate, 0.5f), kRate).empty());
    EXPECT_FALSE(KeyDetectorV2::frameChromas(synth::sine(65, 1.0, kRate, 0.5f), kRate).empty());
}

TEST(KeyDetectorV2Smoothing, AveragesNeighboursWithinFourFramesAndKeepsTheCount)
{
    std::vector<Chroma> frames(12, Chroma{});
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i][i] = 1.0;
    const auto smoothed = KeyDetectorV2::smooth(frames, 9);
    ASSERT_EQ(smoothed.size(), frames.size());
    EXPECT_NEAR(smoothed[0][4], 0.2, 1e-12); // frames 0..4
    EXPECT_EQ(smoothed[0][5], 0.0);
    EXPECT_NEAR(smoothed[6][2], 1.0 / 9.0, 1e-12); // frames 2..10
    EXPECT_EQ(smoothed[6][1], 0.0);
    EXPECT_TRUE(KeyDetectorV2::smooth({}, 9).empty());
    EXPECT_EQ(KeyDetectorV2::smooth({Chroma{}}, 9).front(), Chroma{});
}

TEST(KeyDetectorV2Parsing, ReadsSharpNamesAndBothModeWords)
{
    using P = KeyDetectorV2::ParsedKey;
    EXPECT_EQ(KeyDetectorV2::parseKey(QStringLiteral("A# 小调")), (P{10, false}));
    EXPECT_EQ(KeyDetectorV2::parseKey(QStringLiteral("C major")), (P{0, true}));
    EXPECT_EQ(KeyDetectorV2::parseKey(QStringLiteral("  G   大调 ")), (P{7, true}));
    EXPECT_EQ(KeyDetectorV2::parseKey(QStringLiteral("E")), (P{4, false}));
    EXPECT_FALSE(KeyDetectorV2::parseKey(QStringLiteral("Bb 大调")));
    EXPECT_FALSE(KeyDetectorV2::parseKey(QString()));
    EXPECT_FALSE(KeyDetectorV2::parseKey(QStringLiteral("H 大调")));
}

TEST(KeyDetectorV2Consistency, OnlyTheKeyItselfAndItsRelativeAgree)
{
    const QString c = keyName(0, true);
    EXPECT_TRUE(KeyDetectorV2::isConsistentWith(c, c));
    EXPECT_TRUE(KeyDetectorV2::isConsistentWith(keyName(9, false), c));  // A minor
    EXPECT_TRUE(KeyDetectorV2::isConsistentWith(keyName(3, false), c));  // D# minor: distance 3 the other way
    EXPECT_FALSE(KeyDetectorV2::isConsistentWith(keyName(7, true), c));  // G major
    EXPECT_FALSE(KeyDetectorV2::isConsistentWith(keyName(9, true), c));  // A major: same mode
    EXPECT_FALSE(KeyDetectorV2::isConsistentWith(keyName(0, false), c)); // parallel minor
    EXPECT_FALSE(KeyDetectorV2::isConsistentWith(QStringLiteral("Bb 小调"), c));
}

TEST(KeyDetectorV2Chords, DetectChordWeighsDiatonicChordsAndDiatonicFitCountsThem)
{
    // Frames of C, F and G major triads: only C major holds all three as I, IV and V.
    std::vector<Chroma> frames;
    for (int i = 0; i < 30; ++i)
        frames.push_back(triadChroma(std::array{0, 5, 7}[static_cast<size_t>(i % 3)], true));
    EXPECT_EQ(KeyDetectorV2::detectChord(frames), keyName(0, true));
    EXPECT_FALSE(KeyDetectorV2::detectChord({}));
    EXPECT_DOUBLE_EQ(KeyDetectorV2::diatonicFit(frames, keyName(0, true)), 1.0);
    EXPECT_NEAR(KeyDetectorV2::diatonicFit(frames, keyName(7, true)), 2.0 / 3.0, 1e-12); // G lacks F M
    EXPECT_EQ(KeyDetectorV2::diatonicFit(frames, QStringLiteral("C major")), 0.0);
    EXPECT_EQ(KeyDetectorV2::diatonicFit({}, keyName(0, true)), 0.0);
    // An all-zero frame picks the first triad, C M.
    EXPECT_EQ(KeyDetectorV2::diatonicFit({Chroma{}}, keyName(0, true)), 1.0);
    EXPECT_EQ(KeyDetectorV2::diatonicFit({Chroma{}}, keyName(2, true)), 0.0);
}

TEST(KeyDetectorV2Scores, ProfileScoresPeakAtTheTonicOfATonicChroma)
{
    const auto scores = KeyDetectorV2::keyScores(triadChroma(2, true));
    ASSERT_EQ(scores.size(), 24u);
    EXPECT_EQ(scores[0].first, keyName(0, true));
    EXPECT_EQ(scores[1].first, keyName(0, false));
    const auto best = std::max_element(scores.begin(), scores.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_EQ(best->first, keyName(2, true));
    EXPECT_EQ(KeyDetectorV2::keyScores(Chroma{})[5].second, 0.0);
}

TEST(KeyDetectorV2Measure, AudioShorterThanOneSegmentGivesTheEmptyMeasurement)
{
    const auto audio = synth::progression(0, synth::majorCadence(), 14.9, kRate);
    const auto m = KeyDetectorV2::measure(audio, kRate, 15.0);
    EXPECT_EQ(m, KeyDetectorV2::Measurement{});
    EXPECT_EQ(KeyDetectorV2::describe(audio, kRate), QStringLiteral("key=无 段=[] 调内率=0% 通过=否"));
    EXPECT_EQ(KeyDetectorV2::measure(std::vector<float>(15 * 44100, 0.0f), kRate, 15.0),
              KeyDetectorV2::Measurement{});
}

TEST(KeyDetectorV2Describe, PassWordNeedsAKeyConsistencyAndThreeQuartersInKey)
{
    KeyDetectorV2::Measurement m{keyName(0, true), {keyName(0, true), keyName(9, false)}, true, 0.74};
    EXPECT_EQ(KeyDetectorV2::describe(m),
              QStringLiteral("key=C 大调 段=[C 大调、A 小调] 调内率=74% 通过=否"));
    m.inKeyRate = 0.75;
    EXPECT_EQ(KeyDetectorV2::describe(m),
              QStringLiteral("key=C 大调 段=[C 大调、A 小调] 调内率=75% 通过=是"));
    m.consistent = false;
    EXPECT_FALSE(KeyDetectorV2::passes(m));
}

struct ProgressionCase {
    int tonic;
    bool major;
};

class KeyDetectorV2Progressions : public ::testing::TestWithParam<ProgressionCase> {};

TEST_P(KeyDetectorV2Progressions, CadenceFixesTheKey)
{
    const auto [tonic, major] = GetParam();
    const auto audio =
        synth::progression(tonic, major ? synth::majorCadence() : synth::minorCadence(), 30.0, kRate);
    const auto m = KeyDetectorV2::measure(audio, kRate, 15.0);
    ASSERT_EQ(m.segments.size(), 2);
    EXPECT_EQ(m.key, keyName(tonic, major)) << m.segments.join(',').toStdString();
    EXPECT_TRUE(m.consistent);
    EXPECT_GE(m.inKeyRate, 0.75);
}

TEST(KeyDetectorV2AeolianLoop, GivesTheMinorKeyOrItsRelativeMajor)
{
    for (int tonic = 0; tonic < 12; ++tonic) {
        const auto audio = synth::progression(tonic, synth::minorAeolianLoop(), 30.0, kRate);
        const auto m = KeyDetectorV2::measure(audio, kRate, 15.0);
        ASSERT_TRUE(m.key) << tonic;
        EXPECT_TRUE(*m.key == keyName(tonic, false) || *m.key == keyName((tonic + 3) % 12, true))
            << tonic << ": " << m.key->toStdString();
        EXPECT_TRUE(m.consistent) << tonic;
    }
}

std::vector<ProgressionCase> allKeys()
{
    std::vector<ProgressionCase> cases;
    for (int t = 0; t < 12; ++t) {
        cases.push_back({t, true});
        cases.push_back({t, false});
    }
    return cases;
}

std::string caseName(const ::testing::TestParamInfo<ProgressionCase>& info)
{
    static const char* const names[12] = {"C",      "Csharp", "D",      "Dsharp", "E",      "F",
                                          "Fsharp", "G",      "Gsharp", "A",      "Asharp", "B"};
    return std::string(names[info.param.tonic]) + (info.param.major ? "_major" : "_minor");
}

INSTANTIATE_TEST_SUITE_P(AllKeys, KeyDetectorV2Progressions, ::testing::ValuesIn(allKeys()), caseName);

} // namespace
