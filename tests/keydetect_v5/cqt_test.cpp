#include "core/resource_bundle.h"
#include "keydetect/synth.h"
#include "keydetect/v5/cqt.h"
#include "keydetect/v5/cqt_layout.h"
#include "keydetect/v5/windows.h"
#include "test_signals.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

using namespace cqt_layout;

namespace {

QString basisPath()
{
    return findResourceDir().value_or(QString()) + QStringLiteral("/keynet_v5_cqt_basis.f32");
}

const CqtBasis& shippedBasis()
{
    static const CqtBasis basis = [] {
        QString error;
        auto loaded = CqtBasis::load(basisPath(), &error);
        EXPECT_TRUE(loaded) << error.toStdString();
        return std::move(*loaded);
    }();
    return basis;
}

int loudestBin(const std::vector<float>& magnitudes, int frame)
{
    int best = 0;
    for (int b = 1; b < kBins; ++b) {
        if (magnitudes[std::size_t(b) * kFrames + frame] > magnitudes[std::size_t(best) * kFrames + frame])
            best = b;
    }
    return best;
}

} // namespace

TEST(CqtBasisFile, SineAtEachCentreFrequencyPeaksInItsBin)
{
    CqtFrontEnd frontEnd;
    for (int bin = 0; bin < kBins; ++bin) {
        const auto tone = synth::sine(binFrequencyHz(bin), 2.0, kSampleRate, 0.5f);
        const auto c = frontEnd.magnitudes(tone, shippedBasis());
        EXPECT_EQ(loudestBin(c, 10), bin) << "bin " << bin << " at " << binFrequencyHz(bin) << " Hz";
        // Hann kernels of Q periods: neighbours answer about -6 dB, and the next ones
        // lie on the window's first zero, so every bin resolves a semitone.
        const float centre = c[std::size_t(bin) * kFrames + 10];
        for (const int distance : {1, -1, 2, -2}) {
            const int other = bin + distance;
            if (other < 0 || other >= kBins)
                continue;
            EXPECT_LT(c[std::size_t(other) * kFrames + 10], (std::abs(distance) == 1 ? 0.6f : 0.05f) * centre)
                << bin << " vs " << other;
        }
    }
}

// Above the features' 80 dB floor the magnitudes agree, and with them the features.
TEST(CqtFrontEnd, SparseKernelsMatchTheDenseComputation)
{
    CqtFrontEnd frontEnd;
    const auto music = v5_windows::resampleWindow(test_signals::cadence(9, true, 30.0, 44100.0), 44100.0);
    std::vector<float> noise(kWindowSamples);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::generate(noise.begin(), noise.end(), [&] { return uniform(rng); });
    for (const auto* signal : {&music, &std::as_const(noise)}) {
        const auto sparse = frontEnd.magnitudes(*signal, shippedBasis(), KernelSupport::sparse);
        const auto dense = frontEnd.magnitudes(*signal, shippedBasis(), KernelSupport::dense);
        const float peak = *std::max_element(dense.begin(), dense.end());
        double worstRelative = 0;
        for (std::size_t i = 0; i < dense.size(); ++i) {
            if (dense[i] > peak / 10000.0f)
                worstRelative = std::max(worstRelative, std::abs(double(sparse[i]) - dense[i]) / dense[i]);
        }
        EXPECT_LE(worstRelative, 1e-4);
    }
}

TEST(CqtFrontEnd, FeaturesSpanEightyDecibelsPadMissingFramesAndKeepSilenceAtTheFloor)
{
    CqtFrontEnd frontEnd;
    const auto silent = frontEnd.features(std::vector<float>(kWindowSamples, 0.0f), shippedBasis());
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](float v) { return v == 0.0f; }));
    // 10 s of input fill 10 * 22050 / 2048 + 1 = 108 frames; the rest stay 0.
    const auto tone = synth::sine(440.0, 10.0, kSampleRate, 0.5f);
    const auto features = frontEnd.features(tone, shippedBasis());
    ASSERT_EQ(features.size(), 23040u);
    EXPECT_FLOAT_EQ(*std::max_element(features.begin(), features.end()), 1.0f);
    EXPECT_GE(*std::min_element(features.begin(), features.end()), 0.0f);
    const int a4 = 69 - kLowestMidiNote;
    EXPECT_GT(features[std::size_t(a4) * kFrames + 107], 0.9f);
    for (int b = 0; b < kBins; ++b)
        EXPECT_EQ(features[std::size_t(b) * kFrames + 108], 0.0f);
    EXPECT_TRUE(frontEnd.features({}, shippedBasis()).empty());
}

TEST(CqtBasisLoad, RejectsMissingAndMissizedFiles)
{
    QTemporaryDir dir;
    QString error;
    EXPECT_FALSE(CqtBasis::load(dir.filePath(QStringLiteral("absent.f32")), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("no such file"))) << error.toStdString();

    QFile source(basisPath());
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    for (const QByteArray& cut :
         {QByteArray(), bytes.left(4), bytes.chopped(4), bytes + QByteArray(4, '\0')}) {
        QFile out(dir.filePath(QStringLiteral("basis.f32")));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(cut);
        out.close();
        EXPECT_FALSE(CqtBasis::load(out.fileName(), &error)) << cut.size();
        EXPECT_TRUE(error.contains(QStringLiteral("correct format"))) << error.toStdString();
    }
    EXPECT_FALSE(CqtBasis::fromInterleaved(std::vector<float>(589967)));
}
