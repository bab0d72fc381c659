#include "keydetect/key_detector_v2.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int kKeyCount = 24;
constexpr double kChordShare = 0.75;
constexpr double kProfileShare = 0.25;
constexpr double kMinSegmentSeconds = 5.0;
constexpr double kPassRate = 0.75;

using Chroma = KeyDetectorV2::Chroma;

// Keys and triads share one index layout: root·2, +1 for minor.
int keyIndex(int tonic, bool major)
{
    return tonic * 2 + (major ? 0 : 1);
}

struct ChordRow {
    int offset;
    bool major;
    double weight;
};

// Diatonic chords of a key, relative to its tonic (the minor key's dominant is major).
constexpr std::array<ChordRow, 6> kMajorKeyChords = {
    {{0, true, 1.0}, {7, true, 0.8}, {9, false, 0.65}, {5, true, 0.65}, {2, false, 0.45}, {4, false, 0.3}}};
constexpr std::array<ChordRow, 6> kMinorKeyChords = {
    {{0, false, 1.0}, {7, true, 0.8}, {5, false, 0.65}, {3, true, 0.65}, {10, true, 0.6}, {8, true, 0.45}}};

// Rows of the functional-harmony profiles: (root interval, major triad, weight).
constexpr std::array<ChordRow, 6> kFunctionalMajor = {
    {{0, true, 1.0}, {7, true, 0.75}, {9, false, 0.6}, {5, true, 0.6}, {2, false, 0.4}, {4, false, 0.3}}};
constexpr std::array<ChordRow, 6> kFunctionalMinor = {
    {{0, false, 1.0}, {3, true, 0.6}, {5, false, 0.75}, {7, true, 0.6}, {10, true, 0.55}, {8, true, 0.4}}};

double dot(const Chroma& a, const Chroma& b)
{
    double sum = 0;
    for (size_t i = 0; i < 12; ++i)
        sum += a[i] * b[i];
    return sum;
}

// Index of the best triad by dot product; on equal products the earlier triad wins.
std::pair<int, double> bestTriad(const Chroma& frame)
{
    const auto& triads = KeyDetectorV2::triads();
    int best = 0;
    double bestScore = -std::numeric_limits<double>::infinity();
    for (int t = 0; t < kKeyCount; ++t) {
        const double s = dot(frame, triads[static_cast<size_t>(t)].tmpl);
        if (s > bestScore) {
            bestScore = s;
            best = t;
        }
    }
    return {best, bestScore};
}

struct Tables {
    // weights[key][chord]: the chord's weight in the key, 0 when not diatonic.
    std::array<std::array<double, kKeyCount>, kKeyCount> weights{};
    // Rotated profile templates divided by their norms: [pair][key].
    std::array<std::array<Chroma, kKeyCount>, 3> unitTemplates{};
    std::array<QString, kKeyCount> keyNames;
    std::array<QString, kKeyCount> chordNames;
};

const Tables& tables()
{
    static const Tables t = [] {
        Tables result;
        for (int tonic = 0; tonic < 12; ++tonic) {
            for (bool major : {true, false}) {
                const int key = keyIndex(tonic, major);
                result.keyNames[static_cast<size_t>(key)] = KeyDetectorV2::keyName(tonic, major);
                result.chordNames[static_cast<size_t>(key)] = KeyDetectorV2::chordName(tonic, major);
                for (const ChordRow& row : major ? kMajorKeyChords : kMinorKeyChords) {
                    const int chord = keyIndex((tonic + row.offset) % 12, row.major);
                    result.weights[static_cast<size_t>(key)][static_cast<size_t>(chord)] = row.weight;
                }
                const auto& pairs = KeyDetectorV2::profiles();
                for (size_t p = 0; p < pairs.size(); ++p) {
                    const auto& profile = major ? pairs[p].first : pairs[p].second;
                    Chroma tmpl{};
                    for (int i = 0; i < 12; ++i)
                        tmpl[static_cast<size_t>(i)] = profile[static_cast<size_t>((i - tonic + 12) % 12)];
                    const double norm = std::sqrt(dot(tmpl, tmpl));
                    for (double& v : tmpl)
                        v = norm > 0 ? v / norm : 0.0;
                    result.unitTemplates[p][static_cast<size_t>(key)] = tmpl;
                }
            }
        }
        return result;
    }();
    return t;
}

std::optional<int> keyIndexOf(const QString& key)
{
    const auto& names = tables().keyNames;
    const auto it = std::find(names.begin(), names.end(), key);
    if (it == names.end())
        return std::nullopt;
    return static_cast<int>(it - names.begin());
}

std::array<double, kKeyCount> profileScores(const Chroma& chroma)
{
    const Tables& t = tables();
    std::array<double, kKeyCount> scores{};
    for (size_t key = 0; key < kKeyCount; ++key) {
        double sum = 0;
        for (const auto& pair : t.unitTemplates)
            sum += dot(chroma, pair[key]);
        scores[key] = sum / static_cast<double>(t.unitTemplates.size());
    }
    return scores;
}

double normaliser(const std::array<double, kKeyCount>& scores)
{
    const double largest = *std::max_element(scores.begin(), scores.end());
    return largest > 1e-9 ? largest : 1e-9;
}


} // namespace

const std::array<std::pair<KeyDetectorV2::Profile, KeyDetectorV2::Profile>, 3>& KeyDetectorV2::profiles()
{
    static const std::array<std::pair<Profile, Profile>, 3> pairs = {{
        {{6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88},
         {6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17}},
        {{5.0, 2.0, 3.5, 2.0, 4.5, 4.0, 2.0, 4.5, 2.0, 3.5, 1.5, 4.0},
         {5.0, 2.0, 3.5, 4.5, 2.0, 4.0, 2.0, 4.5, 3.5, 2.0, 1.5, 4.0}},
        {functional(true), functional(false)},
    }};
    return pairs;
}

KeyDetectorV2::Profile KeyDetectorV2::functional(bool major)
{
    Profile profile{};
    for (const ChordRow& row : major ? kFunctionalMajor : kFunctionalMinor) {
        for (int interval : {0, row.major ? 4 : 3, 7})
            profile[static_cast<size_t>((row.offset + interval) % 12)] += row.weight;
    }
    return profile;
}

const std::array<KeyDetectorV2::Triad, 24>& KeyDetectorV2::triads()
{
    static const std::array<Triad, 24> list = [] {
        std::array<Triad, 24> result{};
        const double value = 1.0 / std::sqrt(3.0);
        for (int root = 0; root < 12; ++root) {
            for (bool major : {true, false}) {
                Triad& triad = result[static_cast<size_t>(keyIndex(root, major))];
                triad.root = root;
                triad.major = major;
                for (int interval : {0, major ? 4 : 3, 7})
                    triad.tmpl[static_cast<size_t>((root + interval) % 12)] = value;
            }
        }
        return result;
    }();
    return list;
}

QString KeyDetectorV2::chordName(int root, bool major)
{
    return QString::fromLatin1(noteNames[static_cast<size_t>(root)]) +
           (major ? QStringLiteral(" M") : QStringLiteral(" m"));
}

QString KeyDetectorV2::keyName(int tonic, bool major)
{
    return QString::fromLatin1(noteNames[static_cast<size_t>(tonic)]) +
           (major ? QStringLiteral(" 大调") : QStringLiteral(" 小调"));
}

QMap<QString, double> KeyDetectorV2::chordWeights(const QString& key)
{
    const QStringList parts = key.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return {};
    const auto note = std::find_if(noteNames.begin(), noteNames.end(),
                                   [&](const char* name) { return parts.front() == QLatin1String(name); });
    if (note == noteNames.end())
        return {};
    const int tonic = static_cast<int>(note - noteNames.begin());
    const bool major = key.contains(QStringLiteral("大调"));
    QMap<QString, double> weights;
    for (const ChordRow& row : major ? kMajorKeyChords : kMinorKeyChords)
        weights.insert(chordName((tonic + row.offset) % 12, row.major), row.weight);
    return weights;
}

const QMap<QString, QMap<QString, double>>& KeyDetectorV2::chordOfKey()
{
    static const QMap<QString, QMap<QString, double>> table = [] {
        QMap<QString, QMap<QString, double>> result;
        for (const QString& key : tables().keyNames)
            result.insert(key, chordWeights(key));
        return result;
    }();
    return table;
}

std::vector<std::pair<QString, double>> KeyDetectorV2::keyScores(const Chroma& chroma)
{
    const auto scores = profileScores(chroma);
    std::vector<std::pair<QString, double>> result;
    result.reserve(kKeyCount);
    for (size_t key = 0; key < kKeyCount; ++key)
        result.emplace_back(tables().keyNames[key], scores[key]);
    return result;
}

std::optional<QString> KeyDetectorV2::detectChord(const std::vector<Chroma>& frames)
{
    if (frames.empty())
        return std::nullopt;
    const Tables& t = tables();

    std::array<double, kKeyCount> chordScores{};
    for (const Chroma& frame : frames) {
        const auto [chord, score] = bestTriad(frame);
        if (!(score > 0))
            continue;
        for (size_t key = 0; key < kKeyCount; ++key)
            chordScores[key] += score * t.weights[key][static_cast<size_t>(chord)];
    }

    Chroma mean{};
    for (const Chroma& frame : frames) {
        for (size_t c = 0; c < 12; ++c)
            mean[c] += frame[c];
    }
    normalizeToUnitSum(mean);
    const auto profile = profileScores(mean);

    const double chordMax = normaliser(chordScores);
    const double profileMax = normaliser(profile);
    int best = -1;
    double bestScore = -1.0;
    for (size_t key = 0; key < kKeyCount; ++key) {
        const double combined =
            kChordShare * (chordScores[key] / chordMax) + kProfileShare * (profile[key] / profileMax);
        if (combined > bestScore) {
            bestScore = combined;
            best = static_cast<int>(key);
        }
    }
    if (best < 0)
        return std::nullopt;
    return t.keyNames[static_cast<size_t>(best)];
}

std::optional<KeyDetectorV2::ParsedKey> KeyDetectorV2::parseKey(const QString& key)
{
    const QStringList parts = key.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return std::nullopt;
    const auto note = std::find_if(noteNames.begin(), noteNames.end(),
                                   [&](const char* name) { return parts.front() == QLatin1String(name); });
    if (note == noteNames.end())
        return std::nullopt;
    const bool major =
        key.contains(QStringLiteral("大调")) || key.toLower().contains(QStringLiteral("major"));
    return ParsedKey{static_cast<int>(note - noteNames.begin()), major};
}

double KeyDetectorV2::diatonicFit(const std::vector<Chroma>& frames, const QString& key)
{
    const auto index = keyIndexOf(key);
    if (frames.empty() || !index)
        return 0;
    const auto& weights = tables().weights[static_cast<size_t>(*index)];
    size_t inKey = 0;
    for (const Chroma& frame : frames) {
        if (weights[static_cast<size_t>(bestTriad(frame).first)] > 0)
            ++inKey;
    }
    return static_cast<double>(inKey) / static_cast<double>(frames.size());
}

bool KeyDetectorV2::isConsistentWith(const QString& segment, const QString& key)
{
    const auto a = parseKey(segment);
    const auto b = parseKey(key);
    if (!a || !b)
        return false;
    if (*a == *b)
        return true;
    const int distance = std::min((a->root - b->root + 12) % 12, (b->root - a->root + 12) % 12);
    return a->major != b->major && distance == 3;
}

KeyDetectorV2::Measurement KeyDetectorV2::measure(std::span<const float> samples, double sampleRateHz,
                                                  double segSeconds)
{
    if (!(sampleRateHz > 0) || !(segSeconds > 0))
        return {};
    const double segmentCount = std::floor(static_cast<double>(samples.size()) / sampleRateHz / segSeconds);
    if (segmentCount < 1)
        return {};
    const auto n = static_cast<size_t>(segmentCount);
    const auto minLength = static_cast<size_t>(sampleRateHz * kMinSegmentSeconds);

    Measurement result;
    std::vector<std::vector<Chroma>> analysed;
    for (size_t i = 0; i < n; ++i) {
        const auto start = static_cast<size_t>(sampleRateHz * segSeconds * static_cast<double>(i));
        const size_t end = std::min(
            static_cast<size_t>(sampleRateHz * segSeconds * static_cast<double>(i + 1)), samples.size());
        if (end < start || end - start < minLength)
            continue;
        auto frames = smooth(frameChromas(samples.subspan(start, end - start), sampleRateHz), kSmoothing);
        if (frames.empty())
            continue;
        if (const auto key = detectChord(frames))
            result.segments.append(*key);
        analysed.push_back(std::move(frames));
    }
    if (result.segments.isEmpty())
        return {};

    // Majority in time order: the first key to reach the highest count wins a tie.
    int bestCount = 0;
    for (const QString& candidate : std::as_const(result.segments)) {
        const int count = static_cast<int>(result.segments.count(candidate));
        if (count > bestCount) {
            bestCount = count;
            result.key = candidate;
        }
    }
    result.consistent =
        std::all_of(result.segments.begin(), result.segments.end(),
                    [&](const QString& segment) { return isConsistentWith(segment, *result.key); });
    double fitSum = 0;
    for (const auto& frames : analysed)
        fitSum += diatonicFit(frames, *result.key);
    result.inKeyRate = fitSum / static_cast<double>(analysed.size());
    return result;
}

bool KeyDetectorV2::passes(const Measurement& measurement)
{
    return measurement.key && measurement.consistent && measurement.inKeyRate >= kPassRate;
}

QString KeyDetectorV2::describe(const Measurement& measurement)
{
    return QStringLiteral("key=%1 段=[%2] 调内率=%3% 通过=%4")
        .arg(measurement.key.value_or(QStringLiteral("无")), measurement.segments.join(QStringLiteral("、")),
             QString::asprintf("%.0f", measurement.inKeyRate * 100.0),
             passes(measurement) ? QStringLiteral("是") : QStringLiteral("否"));
}

QString KeyDetectorV2::describe(std::span<const float> samples, double sampleRateHz)
{
    return describe(measure(samples, sampleRateHz, kSegmentSeconds));
}
