// Capture against the real PulseAudio server of the test services: tones are played into
// the null sink "loop" and recorded from its monitor "loop.monitor" (48 kHz).
#include "core/settings_store.h"
#include "keydetect/audio_channel_detector.h"
#include "keydetect/synth.h"
#include "support/temp_home.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

class AudioCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the PulseAudio server of tests/run-with-services";
        ASSERT_TRUE(m_dir.isValid());
    }

    void TearDown() override
    {
        for (QProcess* player : m_players) {
            player->kill();
            player->waitForFinished(2000);
            delete player;
        }
    }

    std::optional<AudioChannelDetector::Channel> input(const QString& uid)
    {
        for (const auto& channel : AudioChannelDetector::listInputs()) {
            if (channel.uid == uid)
                return channel;
        }
        return std::nullopt;
    }

    // Plays a stereo 48 kHz tone into a sink with paplay and waits until its stream exists.
    void play(const QString& sink, double frequency_Hz, float amplitude, double seconds)
    {
        const QString path = m_dir.filePath(QStringLiteral("tone%1.wav").arg(m_players.size()));
        ASSERT_TRUE(synth::writeWav(path, synth::sine(frequency_Hz, seconds, 48000, amplitude), 48000, 2));
        auto* player = new QProcess;
        m_players.push_back(player);
        player->start(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, path});
        ASSERT_TRUE(player->waitForStarted(5000));
        ASSERT_TRUE(waitFor([] {
            return pactl({"list", "short", "sink-inputs"}).contains("protocol-native");
        }));
    }

    static QByteArray pactl(const QStringList& arguments)
    {
        QProcess p;
        p.start(QStringLiteral("pactl"), arguments);
        p.waitForFinished(5000);
        return p.readAllStandardOutput();
    }

    template <typename Condition> static bool waitFor(Condition condition)
    {
        for (int i = 0; i < 50; ++i) {
            if (condition())
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    QTemporaryDir m_dir;
    std::vector<QProcess*> m_players;
};

TEST_F(AudioCapture, ListsTheLoopMonitorAsAnInputAtItsNativeRate)
{
    const auto monitor = input(QStringLiteral("loop.monitor"));
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor->name, QStringLiteral("Monitor of Loopback"));
    const auto sources = AudioChannelDetector::inputService().listSources();
    const auto it = std::find_if(sources.begin(), sources.end(),
                                 [&](const auto& s) { return s.deviceID == monitor->deviceID; });
    ASSERT_NE(it, sources.end());
    EXPECT_EQ(it->nominalRateHz, 48000.0);
    EXPECT_EQ(it->channelCount, 2u);
}

TEST_F(AudioCapture, SelectedChannelFindsTheStoredUidOnly)
{
    TempHome home;
    EXPECT_FALSE(AudioChannelDetector::selectedChannel());
    SettingsStore::shared().setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
    const auto selected = AudioChannelDetector::selectedChannel();
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected, input(QStringLiteral("loop.monitor")));
    SettingsStore::shared().setAccompanimentChannelUID(QStringLiteral("usb-interface-unplugged.monitor"));
    EXPECT_FALSE(AudioChannelDetector::selectedChannel());
}

TEST_F(AudioCapture, ToneComesBackAt44100HzWithItsFrequencyAndLevel)
{
    const auto monitor = input(QStringLiteral("loop.monitor"));
    ASSERT_TRUE(monitor);
    play(QStringLiteral("loop"), 1000, 0.5f, 8.0);

    // The main thread keeps running its event loop while the recording goes on.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    const auto samples = QCoro::waitFor(AudioChannelDetector::capture(monitor->deviceID, 2s));
    ticker.stop();

    ASSERT_TRUE(samples);
    EXPECT_EQ(samples->size(), 88200u); // 96000 samples at 48 kHz, resampled
    const std::vector<float> middle(samples->begin() + 22050, samples->end() - 22050);
    EXPECT_NEAR(synth::zeroCrossingFrequency(middle, 44100), 1000, 3);
    EXPECT_NEAR(synth::rms(middle), 0.5 / std::sqrt(2.0), 0.02);
    EXPECT_GT(AudioChannelDetector::musicality(*samples), AudioChannelDetector::kMusicalityGate);
    EXPECT_GT(ticks, 15);
}

TEST_F(AudioCapture, StopRequestEndsTheRecordingAtOnceAndLeavesNoStream)
{
    const auto monitor = input(QStringLiteral("loop.monitor"));
    ASSERT_TRUE(monitor);
    play(QStringLiteral("loop"), 440, 0.3f, 8.0);

    // An idle null sink delivers a new stream's first data up to its 2 s block late, so the
    // stop comes after the data has begun.
    std::stop_source stop;
    QElapsedTimer clock;
    qint64 stoppedAt = 0;
    bool streamWhileRecording = false;
    QTimer::singleShot(3500, [&] {
        streamWhileRecording = pactl({"list", "source-outputs"}).contains("Tonivox key detection");
        stoppedAt = clock.elapsed();
        stop.request_stop();
    });
    clock.start();
    const auto samples =
        QCoro::waitFor(AudioChannelDetector::capture(monitor->deviceID, 30s, stop.get_token()));
    EXPECT_TRUE(streamWhileRecording);
    EXPECT_LT(clock.elapsed() - stoppedAt, 500);
    ASSERT_TRUE(samples); // what was captured until the stop
    EXPECT_GT(samples->size(), 10000u);
    EXPECT_LT(samples->size(), 44100u * 4);
    EXPECT_TRUE(waitFor([] { return !pactl({"list", "source-outputs"}).contains("Tonivox key detection"); }));

    // Stopped before it starts: nothing recorded, nothing left behind.
    std::stop_source early;
    early.request_stop();
    clock.restart();
    EXPECT_FALSE(QCoro::waitFor(AudioChannelDetector::capture(monitor->deviceID, 30s, early.get_token())));
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_TRUE(waitFor([] { return !pactl({"list", "source-outputs"}).contains("Tonivox key detection"); }));
}

TEST_F(AudioCapture, SourceThatDisappearsEndsTheRecordingWithWhatWasCaptured)
{
    const QByteArray module =
        pactl({"load-module", "module-null-sink", "sink_name=unplugged", "rate=44100"}).trimmed();
    ASSERT_FALSE(module.isEmpty());
    const auto monitor = input(QStringLiteral("unplugged.monitor"));
    ASSERT_TRUE(monitor);
    play(QStringLiteral("unplugged"), 440, 0.3f, 8.0);

    QElapsedTimer clock;
    qint64 unpluggedAt = 0;
    QTimer::singleShot(3500, [&] {
        unpluggedAt = clock.elapsed();
        pactl({"unload-module", QString::fromLatin1(module)});
    });
    clock.start();
    const auto samples = QCoro::waitFor(AudioChannelDetector::capture(monitor->deviceID, 20s));
    EXPECT_LT(clock.elapsed() - unpluggedAt, 1000);
    ASSERT_TRUE(samples);
    EXPECT_GT(samples->size(), 20000u);
    EXPECT_FALSE(input(QStringLiteral("unplugged.monitor")));

    // A device that is gone records nothing.
    EXPECT_FALSE(QCoro::waitFor(AudioChannelDetector::capture(monitor->deviceID, 1s)));
}

TEST_F(AudioCapture, NoServerGivesNoInputsAndNoRecordingWithoutHanging)
{
    const QByteArray server = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:" + m_dir.filePath(QStringLiteral("no-server")).toUtf8());
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(AudioChannelDetector::listInputs().empty());
    EXPECT_FALSE(QCoro::waitFor(AudioChannelDetector::capture(0, 1s)));
    EXPECT_LT(clock.elapsed(), 6000);

    // A server that accepts the connection and never answers is given up on in bounded time.
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(m_dir.filePath(QStringLiteral("silent"))));
    qputenv("PULSE_SERVER", "unix:" + silent.fullServerName().toUtf8());
    clock.restart();
    EXPECT_TRUE(AudioChannelDetector::listInputs().empty());
    EXPECT_LT(clock.elapsed(), 6000);

    qputenv("PULSE_SERVER", server);
    EXPECT_FALSE(AudioChannelDetector::listInputs().empty());
}

} // namespace
