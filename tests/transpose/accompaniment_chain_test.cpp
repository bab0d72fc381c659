// The whole chain on the test services' PulseAudio: a tone played into the null sink "loop"
// is captured from its monitor, shifted, and played on a second null sink made the default,
// whose monitor the test records. Changes the default sink, so runs alone and restores it.
#include "core/settings_store.h"
#include "platform/pulse_audio_client.h"
#include "support/temp_home.h"
#include "transpose/accompaniment_processor.h"
#include "transpose/tone_measure.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>

namespace {

QByteArray pactl(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), arguments);
    p.waitForFinished(5000);
    return p.readAllStandardOutput().trimmed();
}

class AccompanimentChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the PulseAudio server of tests/run-with-services";
        m_previousDefault = pactl({"get-default-sink"});
        m_module = pactl({"load-module", "module-null-sink", "sink_name=transposer_out", "rate=48000",
                          "format=float32le", "sink_properties=device.description=TransposerOut"});
        ASSERT_FALSE(m_module.isEmpty());
        pactl({"set-default-sink", "transposer_out"});
        m_audio = std::make_unique<PulseAudioClient>();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return m_audio->defaultSinkName() == QStringLiteral("transposer_out"); }, 10000));
        m_home.settings().setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
    }

    void TearDown() override
    {
        m_recording.reset();
        m_audio.reset();
        if (m_player.state() != QProcess::NotRunning) {
            m_player.kill();
            m_player.waitForFinished(2000);
        }
        if (!m_previousDefault.isEmpty())
            pactl({"set-default-sink", QString::fromUtf8(m_previousDefault)});
        if (!m_module.isEmpty())
            pactl({"unload-module", QString::fromUtf8(m_module)});
    }

    // Plays a stereo tone (left `left_Hz`, right `right_Hz`) into "loop" with paplay.
    void play(double left_Hz, double right_Hz, double seconds)
    {
        const QString path = m_dir.filePath(QStringLiteral("tone.raw"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const auto frames = static_cast<int64_t>(seconds * 48000);
        std::vector<float> samples(static_cast<size_t>(2 * frames));
        for (int64_t i = 0; i < frames; ++i) {
            samples[2 * i] = static_cast<float>(0.3 * std::sin(2 * M_PI * left_Hz * i / 48000.0));
            samples[2 * i + 1] = static_cast<float>(0.3 * std::sin(2 * M_PI * right_Hz * i / 48000.0));
        }
        file.write(reinterpret_cast<const char*>(samples.data()), static_cast<qint64>(samples.size() * 4));
        file.close();
        m_player.start(QStringLiteral("paplay"), {"--device=loop", "--raw", "--format=float32le",
                                                  "--rate=48000", "--channels=2", path});
        ASSERT_TRUE(m_player.waitForStarted(5000));
    }

    // Records the default sink's monitor; the frames arrive in m_left/m_right.
    void record()
    {
        uint32_t monitor = 0;
        for (const auto& source : m_audio->listSources()) {
            if (source.uid == QStringLiteral("transposer_out.monitor"))
                monitor = source.deviceID;
        }
        m_recording = m_audio->startRecording(
            monitor, PulseAudioClient::RecordOptions{},
            [this](const AudioBufferRef& buffer) {
                std::lock_guard guard(m_lock);
                for (uint32_t i = 0; i + 1 < buffer.byteSize / 4; i += 2) {
                    m_left.push_back(buffer.data[i]);
                    m_right.push_back(buffer.data[i + 1]);
                }
            },
            nullptr);
        ASSERT_TRUE(m_recording);
    }

    // The last second of recorded signal once `seconds` of non-silence came out.
    bool waitForSignal(double seconds)
    {
        return QTest::qWaitFor(
            [&] {
                std::lock_guard guard(m_lock);
                return std::count_if(m_left.begin(), m_left.end(),
                                     [](float s) { return std::abs(s) > 0.01f; }) > seconds * 48000 * 0.6;
            },
            20000);
    }

    std::vector<float> lastSecond(const std::vector<float>& side)
    {
        std::lock_guard guard(m_lock);
        return {side.end() - 48000, side.end()};
    }

    QTemporaryDir m_dir;
    TempHome m_home;
    QByteArray m_previousDefault, m_module;
    std::unique_ptr<PulseAudioClient> m_audio;
    std::unique_ptr<AudioRecording> m_recording;
    QProcess m_player;
    std::mutex m_lock;
    std::vector<float> m_left, m_right;
};

TEST_F(AccompanimentChain, ShiftsATonePlayedIntoTheLoopAndKeepsItsSides)
{
    AccompanimentProcessor processor(*m_audio);
    processor.setSemitones(2);
    ASSERT_TRUE(processor.start()) << processor.statusText().toStdString();
    EXPECT_TRUE(processor.isRunning());
    EXPECT_TRUE(processor.statusText().startsWith(
        QStringLiteral("运行中：Monitor of Loopback→默认输出 移调+2（延迟 ")))
        << processor.statusText().toStdString();
    record();
    play(440, 660, 8);
    ASSERT_TRUE(waitForSignal(2.5));
    const double ratio = std::pow(2.0, 2 / 12.0);
    const auto left = lastSecond(m_left), right = lastSecond(m_right);
    EXPECT_NEAR(tone_measure::peakFrequency(left, 48000, 440 * ratio * 0.9, 440 * ratio * 1.1) /
                    (440 * ratio),
                1.0, 0.005);
    EXPECT_NEAR(tone_measure::peakFrequency(right, 48000, 660 * ratio * 0.9, 660 * ratio * 1.1) /
                    (660 * ratio),
                1.0, 0.005);
    EXPECT_NEAR(20 * std::log10(tone_measure::rms(left) / (0.3 / std::sqrt(2.0))), 0.0, 3.0);
    processor.stop();
    EXPECT_EQ(processor.statusText(), QStringLiteral("已停止"));
}

TEST_F(AccompanimentChain, RefusesWithoutAChannelAndWhenTheLoopIsTheDefaultOutputsMonitor)
{
    AccompanimentProcessor processor(*m_audio);
    m_home.settings().setAccompanimentChannelUID(QStringLiteral("gone.monitor"));
    EXPECT_FALSE(processor.start());
    EXPECT_EQ(processor.statusText(), QStringLiteral("请先选择伴奏回路通道"));
    processor.stop();
    EXPECT_EQ(processor.statusText(), QStringLiteral("请先选择伴奏回路通道"));

    m_home.settings().setAccompanimentChannelUID(QStringLiteral("transposer_out.monitor"));
    EXPECT_FALSE(processor.start());
    EXPECT_EQ(processor.statusText(), AccompanimentProcessor::kFeedbackStatus);

    // Running on "loop", then the default output becomes "loop" itself.
    m_home.settings().setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
    ASSERT_TRUE(processor.start());
    pactl({"set-default-sink", "loop"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !processor.isRunning(); }, 10000));
    EXPECT_EQ(processor.statusText(), AccompanimentProcessor::kFeedbackStatus);
    // And back: it starts again by itself.
    pactl({"set-default-sink", "transposer_out"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return processor.isRunning(); }, 10000));
}

} // namespace
