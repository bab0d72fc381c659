// Capture against the real sound server of the test services: tones are played into the
// null sink "loop" and recorded from its monitor "loop.monitor" (48 kHz).
#include "keydetect/audio_channel_detector.h"
#include "keydetect/synth.h"
#include "platform/pulse_audio_client.h"
#include "transpose/tone_measure.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

QByteArray pactl(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), arguments);
    p.waitForFinished(5000);
    return p.readAllStandardOutput().trimmed();
}

bool noCaptureStreamLeft()
{
    return QTest::qWaitFor(
        [] {
            return !pactl({"list", "source-outputs"}).contains("Tonivox key detection");
        },
        5000);
}

class AudioCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the sound server of tests/run-with-services";
        m_audio = std::make_unique<PulseAudioClient>();
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return input(QStringLiteral("loop.monitor")).has_value(); }, 20000));
        m_loop = input(QStringLiteral("loop.monitor"))->deviceID;
    }

    std::optional<AudioChannelDetector::Channel> input(const QString& uid)
    {
        for (const auto& channel : AudioChannelDetector::listInputs(*m_audio)) {
            if (channel.uid == uid)
                return channel;
        }
        return std::nullopt;
    }

    // Plays an 8 s stereo 48 kHz tone into a sink with paplay and waits until its stream exists
    // (found by its process: PipeWire names no driver module as PulseAudio does).
    void play(const QString& sink, double frequency_Hz = 440, float amplitude = 0.3f)
    {
        const QString path = m_dir.filePath(QStringLiteral("tone%1.wav").arg(m_players.size()));
        ASSERT_TRUE(synth::writeWav(path, synth::sine(frequency_Hz, 8.0, 48000, amplitude), 48000, 2));
        auto& player = m_players.emplace_back(std::make_unique<QProcess>());
        player->start(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, path});
        ASSERT_TRUE(player->waitForStarted(5000));
        const QByteArray pid = "application.process.id = \"" + QByteArray::number(player->processId()) + '"';
        ASSERT_TRUE(QTest::qWaitFor([&] { return pactl({"list", "sink-inputs"}).contains(pid); }, 5000));
    }

    std::optional<std::vector<float>> capture(uint32_t device, std::chrono::duration<double> length,
                                              std::stop_token stop = {})
    {
        return QCoro::waitFor(AudioChannelDetector::capture(*m_audio, device, length, std::move(stop)));
    }

    QTemporaryDir m_dir;
    std::unique_ptr<PulseAudioClient> m_audio;
    uint32_t m_loop = 0;
    std::vector<std::unique_ptr<QProcess>> m_players; // killed as they go
};

TEST_F(AudioCapture, ToneComesBackAt44100HzWithItsFrequencyAndLevel)
{
    play(QStringLiteral("loop"), 1000, 0.5f);
    // The main thread keeps running its event loop while the recording goes on.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    const auto samples = capture(m_loop, 2s);
    ticker.stop();
    ASSERT_TRUE(samples);
    EXPECT_EQ(samples->size(), 88200u); // 96000 samples at 48 kHz, resampled
    const std::vector<float> middle(samples->begin() + 22050, samples->end() - 22050);
    EXPECT_NEAR(tone_measure::peakFrequency(middle, 44100, 900, 1100), 1000, 3);
    EXPECT_NEAR(tone_measure::rms(middle), 0.5 / std::sqrt(2.0), 0.02);
    EXPECT_GT(ticks, 15);
}

TEST_F(AudioCapture, StopRequestEndsTheRecordingWithWhatWasCapturedAndLeavesNoStream)
{
    play(QStringLiteral("loop"));
    // An idle null sink delivers a new stream's first data up to its 2 s block late, so the
    // stop comes after the data has begun.
    std::stop_source stop;
    bool streamWhileRecording = false;
    QTimer::singleShot(3500, [&] {
        streamWhileRecording = pactl({"list", "source-outputs"}).contains("Tonivox key detection");
        stop.request_stop();
    });
    const auto samples = capture(m_loop, 30s, stop.get_token());
    EXPECT_TRUE(streamWhileRecording);
    ASSERT_TRUE(samples); // what was captured until the stop, far from the 30 s asked for
    EXPECT_GT(samples->size(), 10000u);
    EXPECT_LT(samples->size(), 44100u * 4);
    EXPECT_TRUE(noCaptureStreamLeft());

    // Stopped before it starts: nothing recorded, nothing left behind.
    EXPECT_FALSE(capture(m_loop, 30s, stop.get_token()));
    EXPECT_TRUE(noCaptureStreamLeft());
}

// The server is frozen (SIGSTOP) after the client has its list, so the stream's start-up
// never completes; a stop request must still end the capture, without the server answering.
TEST_F(AudioCapture, StopDuringStartUpReturnsNothingWithoutWaitingForTheServer)
{
    QFile pidFile(qEnvironmentVariable("PULSE_RUNTIME_PATH") + QStringLiteral("/pid"));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const pid_t server = pidFile.readAll().trimmed().toInt();
    ASSERT_GT(server, 0);
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    // Failure bound only: a capture that waits for the server is freed here and fails below.
    bool thawedByGuard = false;
    QTimer guard;
    guard.callOnTimeout([&] { thawedByGuard = ::kill(server, SIGCONT) == 0; });
    guard.start(20000);
    std::stop_source stop;
    QTimer::singleShot(0, [&] { stop.request_stop(); });
    const auto samples = capture(m_loop, 600s, stop.get_token());
    ::kill(server, SIGCONT);
    EXPECT_FALSE(thawedByGuard);
    EXPECT_FALSE(samples);
    EXPECT_TRUE(noCaptureStreamLeft());
    // The client is still connected afterwards and records again.
    play(QStringLiteral("loop"));
    EXPECT_TRUE(capture(m_loop, 1s));
}

TEST_F(AudioCapture, SourceThatDisappearsEndsTheRecordingWithWhatWasCapturedAndLeavesTheList)
{
    const QByteArray module = pactl({"load-module", "module-null-sink", "sink_name=unplugged", "rate=44100"});
    ASSERT_FALSE(module.isEmpty());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return input(QStringLiteral("unplugged.monitor")).has_value(); }, 20000));
    const uint32_t unplugged = input(QStringLiteral("unplugged.monitor"))->deviceID;
    play(QStringLiteral("unplugged"));
    QTimer::singleShot(3500, [&] { pactl({"unload-module", QString::fromLatin1(module)}); });
    const auto samples = capture(unplugged, 20s);
    ASSERT_TRUE(samples); // ended with the source, long before the 20 s
    EXPECT_GT(samples->size(), 20000u);
    EXPECT_LT(samples->size(), 44100u * 6);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !input(QStringLiteral("unplugged.monitor")); }, 20000));
    EXPECT_FALSE(capture(unplugged, 1s)); // a device that is gone records nothing
}

TEST_F(AudioCapture, NoServerGivesNoInputsAndNoRecording)
{
    PulseAudioClient nowhere(
        PulseAudioClient::Options{"unix:" + m_dir.filePath(QStringLiteral("no-server")).toUtf8()});
    EXPECT_TRUE(AudioChannelDetector::listInputs(nowhere).empty());
    EXPECT_FALSE(QCoro::waitFor(AudioChannelDetector::capture(nowhere, 0, 1s)));
    EXPECT_FALSE(nowhere.defaultSinkName());

    // A server that accepts the connection and never answers: the attempt is abandoned at
    // its time limit and tried again, and nothing is listed meanwhile.
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(m_dir.filePath(QStringLiteral("silent"))));
    int accepted = 0;
    QObject::connect(&silent, &QLocalServer::newConnection, [&] {
        while (silent.nextPendingConnection())
            ++accepted;
    });
    PulseAudioClient::Options options{"unix:" + silent.fullServerName().toUtf8()};
    options.connectTimeout = 300ms;
    options.retryMin = 50ms;
    PulseAudioClient mute(options);
    EXPECT_TRUE(QTest::qWaitFor([&] { return accepted >= 2; }, 20000));
    EXPECT_FALSE(mute.isConnected());
    EXPECT_TRUE(mute.listSources().empty());
}

} // namespace
