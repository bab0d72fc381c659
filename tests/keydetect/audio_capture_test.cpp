// Capture against the real PulseAudio server of the test services: tones are played into
// the null sink "loop" and recorded from its monitor "loop.monitor" (48 kHz). Each test
// builds its own client, as the owner of the run does.
#include "core/settings_store.h"
#include "keydetect/audio_channel_detector.h"
#include "keydetect/synth.h"
#include "platform/pulse_audio_client.h"
#include "support/private_sound_server.h"
#include "support/temp_home.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Blocks the test thread until `condition` holds over the client's lists, woken by the
// client's change callback; false when it never does (a failure, not a timing check).
template <typename Condition> bool waitForLists(PulseAudioClient& client, Condition condition)
{
    std::mutex mutex;
    std::condition_variable changed;
    client.setChangeCallback([&] {
        std::lock_guard guard(mutex);
        changed.notify_all();
    });
    std::unique_lock lock(mutex);
    const bool held = changed.wait_for(lock, 20s, condition);
    lock.unlock();
    client.setChangeCallback(nullptr);
    return held;
}

std::optional<AudioChannelDetector::Channel> inputOf(const AudioInputService& audio, const QString& uid)
{
    for (const auto& channel : AudioChannelDetector::listInputs(audio)) {
        if (channel.uid == uid)
            return channel;
    }
    return std::nullopt;
}

class AudioCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the PulseAudio server of tests/run-with-services";
        ASSERT_TRUE(m_dir.isValid());
        m_audio = std::make_unique<PulseAudioClient>();
        ASSERT_TRUE(waitForInput(QStringLiteral("loop.monitor")));
    }

    void TearDown() override
    {
        for (QProcess* player : m_players) {
            player->kill();
            player->waitForFinished(2000);
            delete player;
        }
    }

    std::optional<AudioChannelDetector::Channel> input(const QString& uid) { return inputOf(*m_audio, uid); }

    bool waitForInput(const QString& uid, bool present = true)
    {
        return waitForLists(*m_audio, [&] { return input(uid).has_value() == present; });
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
        // By its process: PipeWire names no driver module as PulseAudio does.
        const QByteArray pid = "application.process.id = \"" + QByteArray::number(player->processId()) + '"';
        ASSERT_TRUE(waitFor([&] { return pactl({"list", "sink-inputs"}).contains(pid); }));
    }

    static QByteArray pactl(const QStringList& arguments)
    {
        QProcess p;
        p.start(QStringLiteral("pactl"), arguments);
        p.waitForFinished(5000);
        return p.readAllStandardOutput();
    }

    static bool noCaptureStreamLeft()
    {
        return waitFor([] { return !pactl({"list", "source-outputs"}).contains("Tonivox key detection"); });
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
    std::unique_ptr<PulseAudioClient> m_audio;
    std::vector<QProcess*> m_players;
};

TEST_F(AudioCapture, ListsTheLoopMonitorAsAnInputAtItsNativeRateAndTheDefaultSink)
{
    const auto monitor = input(QStringLiteral("loop.monitor"));
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor->name, QStringLiteral("Monitor of Loopback"));
    const auto sources = m_audio->listSources();
    const auto it = std::find_if(sources.begin(), sources.end(),
                                 [&](const auto& s) { return s.deviceID == monitor->deviceID; });
    ASSERT_NE(it, sources.end());
    EXPECT_EQ(it->nominalRateHz, 48000.0);
    EXPECT_EQ(it->channelCount, 2u);
    EXPECT_EQ(m_audio->defaultSinkName(), QStringLiteral("loop"));
    const auto sinks = m_audio->listSinks();
    EXPECT_TRUE(std::any_of(sinks.begin(), sinks.end(), [](const AudioSinkInfo& sink) {
        return sink.name == QStringLiteral("loop") && sink.description == QStringLiteral("Loopback");
    }));
}

TEST_F(AudioCapture, SelectedChannelFindsTheStoredUidOnly)
{
    TempHome home;
    EXPECT_FALSE(AudioChannelDetector::selectedChannel(*m_audio));
    SettingsStore::shared().setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
    const auto selected = AudioChannelDetector::selectedChannel(*m_audio);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected, input(QStringLiteral("loop.monitor")));
    SettingsStore::shared().setAccompanimentChannelUID(QStringLiteral("usb-interface-unplugged.monitor"));
    EXPECT_FALSE(AudioChannelDetector::selectedChannel(*m_audio));
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
    const auto samples = QCoro::waitFor(AudioChannelDetector::capture(*m_audio, monitor->deviceID, 2s));
    ticker.stop();

    ASSERT_TRUE(samples);
    EXPECT_EQ(samples->size(), 88200u); // 96000 samples at 48 kHz, resampled
    const std::vector<float> middle(samples->begin() + 22050, samples->end() - 22050);
    EXPECT_NEAR(synth::zeroCrossingFrequency(middle, 44100), 1000, 3);
    EXPECT_NEAR(synth::rms(middle), 0.5 / std::sqrt(2.0), 0.02);
    EXPECT_GT(AudioChannelDetector::musicality(*samples), AudioChannelDetector::kMusicalityGate);
    EXPECT_GT(ticks, 15);
}

TEST_F(AudioCapture, StopRequestEndsTheRecordingWithWhatWasCapturedAndLeavesNoStream)
{
    const auto monitor = input(QStringLiteral("loop.monitor"));
    ASSERT_TRUE(monitor);
    play(QStringLiteral("loop"), 440, 0.3f, 8.0);

    // An idle null sink delivers a new stream's first data up to its 2 s block late, so the
    // stop comes after the data has begun.
    std::stop_source stop;
    bool streamWhileRecording = false;
    QTimer::singleShot(3500, [&] {
        streamWhileRecording = pactl({"list", "source-outputs"}).contains("Tonivox key detection");
        stop.request_stop();
    });
    const auto samples =
        QCoro::waitFor(AudioChannelDetector::capture(*m_audio, monitor->deviceID, 30s, stop.get_token()));
    EXPECT_TRUE(streamWhileRecording);
    ASSERT_TRUE(samples); // what was captured until the stop, far from the 30 s asked for
    EXPECT_GT(samples->size(), 10000u);
    EXPECT_LT(samples->size(), 44100u * 4);
    EXPECT_TRUE(noCaptureStreamLeft());

    // Stopped before it starts: nothing recorded, nothing left behind.
    std::stop_source early;
    early.request_stop();
    EXPECT_FALSE(
        QCoro::waitFor(AudioChannelDetector::capture(*m_audio, monitor->deviceID, 30s, early.get_token())));
    EXPECT_TRUE(noCaptureStreamLeft());
}

// The server is frozen (SIGSTOP) after the client has its list, so the stream's start-up
// never completes; a stop request must still end the capture, without the server answering.
TEST_F(AudioCapture, StopDuringStartUpReturnsNothingWithoutWaitingForTheServer)
{
    const auto monitor = input(QStringLiteral("loop.monitor"));
    ASSERT_TRUE(monitor);
    QFile pidFile(qEnvironmentVariable("PULSE_RUNTIME_PATH") + QStringLiteral("/pid"));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const pid_t server = pidFile.readAll().trimmed().toInt();
    ASSERT_GT(server, 0);

    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    // Failure bound only: a capture that waits for the server is freed here and fails below.
    bool thawedByGuard = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        thawedByGuard = true;
        ::kill(server, SIGCONT);
    });
    guard.start(20000);
    std::stop_source stop;
    QTimer::singleShot(0, [&] { stop.request_stop(); });
    const auto samples =
        QCoro::waitFor(AudioChannelDetector::capture(*m_audio, monitor->deviceID, 600s, stop.get_token()));
    ::kill(server, SIGCONT);
    EXPECT_FALSE(thawedByGuard);
    EXPECT_FALSE(samples);
    EXPECT_TRUE(noCaptureStreamLeft());
    // The client is still connected afterwards and records again.
    play(QStringLiteral("loop"), 440, 0.3f, 8.0);
    EXPECT_TRUE(QCoro::waitFor(AudioChannelDetector::capture(*m_audio, monitor->deviceID, 1s)));
}

TEST_F(AudioCapture, SourceThatDisappearsEndsTheRecordingWithWhatWasCapturedAndLeavesTheList)
{
    const QByteArray module =
        pactl({"load-module", "module-null-sink", "sink_name=unplugged", "rate=44100"}).trimmed();
    ASSERT_FALSE(module.isEmpty());
    ASSERT_TRUE(waitForInput(QStringLiteral("unplugged.monitor")));
    const auto monitor = input(QStringLiteral("unplugged.monitor"));
    ASSERT_TRUE(monitor);
    play(QStringLiteral("unplugged"), 440, 0.3f, 8.0);

    QTimer::singleShot(3500, [&] { pactl({"unload-module", QString::fromLatin1(module)}); });
    const auto samples = QCoro::waitFor(AudioChannelDetector::capture(*m_audio, monitor->deviceID, 20s));
    ASSERT_TRUE(samples); // ended with the source, long before the 20 s
    EXPECT_GT(samples->size(), 20000u);
    EXPECT_LT(samples->size(), 44100u * 6);
    EXPECT_TRUE(waitForInput(QStringLiteral("unplugged.monitor"), false));

    // A device that is gone records nothing.
    EXPECT_FALSE(QCoro::waitFor(AudioChannelDetector::capture(*m_audio, monitor->deviceID, 1s)));
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
    QEventLoop loop;
    QObject::connect(&silent, &QLocalServer::newConnection, &loop, [&] {
        if (accepted >= 2)
            loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit); // failure bound only
    loop.exec();
    EXPECT_GE(accepted, 2);
    EXPECT_FALSE(mute.isConnected());
    EXPECT_TRUE(mute.listSources().empty());
}

// A private server of this test's own, stopped and started again: the list empties while it
// is gone and comes back on a new connection.
TEST_F(AudioCapture, ServerRestartEmptiesTheListAndReconnects)
{
    PrivateSoundServer server;
    ASSERT_TRUE(server.start()) << server.errorOutput().toStdString();
    PulseAudioClient::Options options{server.address()};
    options.retryMax = 500ms;
    PulseAudioClient client(options);
    const auto hasLoopMonitor = [&] { return inputOf(client, QStringLiteral("loop.monitor")).has_value(); };
    ASSERT_TRUE(waitForLists(client, hasLoopMonitor));
    EXPECT_EQ(client.connectionCount(), 1);

    ASSERT_EQ(::kill(server.pid(), SIGKILL), 0);
    EXPECT_TRUE(waitForLists(client, [&] { return client.listSources().empty() && !client.isConnected(); }));
    EXPECT_FALSE(client.defaultSinkName());

    ASSERT_TRUE(server.stop() && server.start()) << server.errorOutput().toStdString();
    EXPECT_TRUE(waitForLists(client, hasLoopMonitor));
    EXPECT_EQ(client.connectionCount(), 2);
    EXPECT_EQ(client.defaultSinkName(), QStringLiteral("loop"));
}

} // namespace
