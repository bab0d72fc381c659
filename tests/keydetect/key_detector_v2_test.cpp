#include "keydetect/key_detector_v2.h"
#include "keydetect/synth.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

constexpr double kRate = 44100.0;
using Chroma = KeyDetectorV2::Chroma;

constexpr auto keyName = &KeyDetectorV2::keyName;

Chroma triadChroma(int root, bool major)
{
    Chroma c{};
    for (int interval : {0, major ? 4 : 3, 7})
        c[static_cast<size_t>((root + interval) % 12)] = 1.0 / 3.0;
    return c;
}

TEST(KeyDetectorV2Chroma, SinesLandOnTheirPitchClassInsideThePeakLimits)
{
    for (int pc = 0; pc < 12; ++pc) {
        const auto frames = KeyDetectorV2::frameChromas(
            synth::sine(261.6255653005986 * std::pow(2.0, pc / 12.0), 1.0, kRate, 0.5f), kRate);
        ASSERT_FALSE(frames.empty()) << pc;
        for (const Chroma& c : frames)
            EXPECT_GT(c[static_cast<size_t>(pc)], 0.99) << pc;
    }
    // Peaks below 60 Hz or above 6000 Hz are not musical evidence; silence gives none either.
    for (const double f : {45.0, 7000.0, 0.0})
        EXPECT_TRUE(
            KeyDetectorV2::frameChromas(synth::sine(f, 1.0, kRate, f > 0 ? 0.5f : 0.0f), kRate).empty())
            << f;
    EXPECT_FALSE(KeyDetectorV2::frameChromas(synth::sine(65, 1.0, kRate, 0.5f), kRate).empty());
}

TEST(KeyDetectorV2Parsing, ReadsSharpNamesAndBothModeWords)
{
    using P = KeyDetectorV2::ParsedKey;
    const std::pair<const char*, std::optional<P>> cases[] = {
        {"A# 小调", P{10, false}}, {"C major", P{0, true}}, {"  G   大调 ", P{7, true}}, {"E", P{4, false}},
        {"Bb 大调", std::nullopt}, {"", std::nullopt},      {"H 大调", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(KeyDetectorV2::parseKey(QString::fromUtf8(text)), expected) << text;
}

TEST(KeyDetectorV2Consistency, OnlyTheKeyItselfAndItsRelativeAgree)
{
    const QString c = keyName(0, true);
    const std::pair<QString, bool> cases[] = {
        {c, true},
        {keyName(9, false), true},          // A minor
        {keyName(3, false), true},          // D# minor: three semitones the other way
        {keyName(7, true), false},          // G major
        {keyName(9, true), false},          // A major: same mode
        {keyName(0, false), false},         // parallel minor
        {QStringLiteral("Bb 小调"), false}, // unparsable
    };
    for (const auto& [key, agrees] : cases)
        EXPECT_EQ(KeyDetectorV2::isConsistentWith(key, c), agrees) << key.toStdString();
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
}

TEST(KeyDetectorV2Measure, AudioShorterThanOneSegmentOrSilentGivesTheEmptyMeasurement)
{
    const auto audio = synth::progression(0, synth::majorCadence(), 14.9, kRate);
    EXPECT_EQ(KeyDetectorV2::measure(audio, kRate, 15.0), KeyDetectorV2::Measurement{});
    EXPECT_EQ(KeyDetectorV2::describe(audio, kRate), QStringLiteral("key=无 段=[] 调内率=0% 通过=否"));
    EXPECT_EQ(KeyDetectorV2::measure(std::vector<float>(15 * 44100, 0.0f), kRate, 15.0),
              KeyDetectorV2::Measurement{});
}

// Cadences fix their key in all 24 keys; an aeolian loop (i-VI-III-VII) gives the minor key
// or its relative major.
TEST(KeyDetectorV2Progressions, ProgressionsInEveryKeyGiveTheirKey)
{
    for (int tonic = 0; tonic < 12; ++tonic) {
        const std::tuple<const char*, std::vector<synth::ChordStep>, QStringList> cases[] = {
            {"major cadence", synth::majorCadence(), {keyName(tonic, true)}},
            {"minor cadence", synth::minorCadence(), {keyName(tonic, false)}},
            {"aeolian loop",
             synth::minorAeolianLoop(),
             {keyName(tonic, false), keyName((tonic + 3) % 12, true)}},
        };
        for (const auto& [name, steps, accepted] : cases) {
            SCOPED_TRACE(std::string(name) + " on " + std::to_string(tonic));
            const auto m = KeyDetectorV2::measure(synth::progression(tonic, steps, 30.0, kRate), kRate, 15.0);
            ASSERT_EQ(m.segments.size(), 2);
            ASSERT_TRUE(m.key);
            EXPECT_TRUE(accepted.contains(*m.key)) << m.segments.join(',').toStdString();
            EXPECT_TRUE(m.consistent);
            if (accepted.size() == 1) {
                EXPECT_GE(m.inKeyRate, 0.75);
            }
        }
    }
}

} // namespace
