#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <span>
#include <utility>
#include <vector>

// The classic, model-free key detector: spectral-peak chroma per frame, the best triad per
// frame, and per segment a key from diatonic chord evidence (weight 0.75) and pitch-class
// profile correlation (weight 0.25). Key names are a sharp note name, a blank and "大调" or
// "小调"; chord names a note name, a blank and "M" or "m".
//
// Thread safety: pure functions over caller-owned buffers, callable from any thread; the
// constant tables are built once, thread-safely.
struct KeyDetectorV2 {
    // 12 pitch-class energies, index 0 = C.
    using Chroma = std::array<double, 12>;
    using Profile = std::array<double, 12>;

    struct Measurement {
        std::optional<QString> key; // the majority key; absent when no segment gave one
        QStringList segments;       // the key of each analysed segment, in time order
        bool consistent = false;    // every segment key is `key` or its relative key
        double inKeyRate = 0;       // 0..1: mean share of frames whose chord is diatonic to `key`
        friend bool operator==(const Measurement&, const Measurement&) = default;
    };

    struct ParsedKey {
        int root = 0; // 0..11, C = 0
        bool major = true;
        friend bool operator==(const ParsedKey&, const ParsedKey&) = default;
    };

    struct Triad {
        int root = 0;
        bool major = true;
        Chroma tmpl{}; // 1/√3 at the triad's three pitch classes
    };

    static constexpr std::array<const char*, 12> noteNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                              "F#", "G",  "G#", "A",  "A#", "B"};
    static constexpr int kFrameLength = 16384;
    static constexpr int kHop = 4096;
    static constexpr int kSmoothing = 9;
    static constexpr double kSegmentSeconds = 15.0;

    // The three (major, minor) profile pairs: Krumhansl–Schmuckler, Temperley, functional.
    static const std::array<std::pair<Profile, Profile>, 3>& profiles();
    // Functional-harmony profile: the weighted triads of the mode's diatonic chords.
    static Profile functional(bool major);
    // The 24 triads, root 0..11, major before minor within a root.
    static const std::array<Triad, 24>& triads();
    static QString chordName(int root, bool major);
    static QString keyName(int tonic, bool major);
    // The six diatonic chords of a key with their weights; empty for an unknown note name.
    static QMap<QString, double> chordWeights(const QString& key);
    // chordWeights of all 24 keys.
    static const QMap<QString, QMap<QString, double>>& chordOfKey();

    // Chroma of every 16384-sample frame (hop 4096) with energy; empty below 16384 samples.
    static std::vector<Chroma> frameChromas(std::span<const float> samples, double sampleRateHz);
    // Each frame becomes the normalised sum of the frames within ±k/2.
    static std::vector<Chroma> smooth(const std::vector<Chroma>& frames, int k);
    // Scales the chroma to sum to 1; false (and unchanged) when its sum is not positive.
    static bool normalizeToUnitSum(Chroma& chroma);
    // Mean correlation with the three rotated profiles, for the 24 keys in table order.
    static std::vector<std::pair<QString, double>> keyScores(const Chroma& chroma);
    // The key of one segment's smoothed frames; absent for no frames.
    static std::optional<QString> detectChord(const std::vector<Chroma>& frames);
    static std::optional<ParsedKey> parseKey(const QString& key);
    // Share (0..1) of frames whose best triad is one of the key's diatonic chords.
    static double diatonicFit(const std::vector<Chroma>& frames, const QString& key);
    // Segment keys of whole `segSeconds` segments, their majority, consistency and in-key rate.
    static Measurement measure(std::span<const float> samples, double sampleRateHz, double segSeconds);
    // "key=… 段=[…] 调内率=…% 通过=…" of measure(samples, rate, 15).
    static QString describe(std::span<const float> samples, double sampleRateHz);
    static QString describe(const Measurement& measurement);
    // Whether the measurement is sure: a key, consistent segments, in-key rate at least 0.75.
    static bool passes(const Measurement& measurement);
    // True when `segment` is `key` or its relative key (other mode, roots 3 semitones apart).
    static bool isConsistentWith(const QString& segment, const QString& key);

    struct LoadedAudio {
        std::vector<float> samples; // mono
        double sampleRateHz = 44100.0;
    };
    // The test modes' decoder: the file from `startSeconds` for at most `seconds` at 44.1 kHz
    // mono; absent when the file cannot be decoded or the slice is not longer than 10 s.
    // Decoding stops where the slice ends.
    static std::optional<LoadedAudio> loadForTest(const QString& path, double startSeconds, double seconds);
};
