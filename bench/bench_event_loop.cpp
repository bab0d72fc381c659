// The main thread's worst stall: the lateness of a 1 ms precise timer on the main event loop
// while the run's recurring work goes on. Each case runs its workload as a coroutine on the
// main thread for a few seconds and reports the worst and the 99th-percentile lateness.
// Budget: no stall above 8 ms (half a 60 Hz frame). Run under tests/run-with-services.
#include "app/local_detection.h"
#include "app/song_tracker.h"
#include "app/tracker_ports.h"
#include "core/app_state.h"
#include "core/cancellation.h"
#include "core/resource_bundle.h"
#include "core/settings_store.h"
#include "keydetect/audio_channel_detector.h"
#include "keydetect/synth.h"
#include "keydetect/v5/key_detector_v5.h"
#include "keydetect_v5/test_signals.h"
#include "platform/pulse_audio_client.h"
#include "player_desk.h"
#include "pluginlink/auto_tune_settings.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/tuning_controls.h"
#include "support/keylib_server_process.h"
#include "support/private_sound_server.h"
#include "support/temp_home.h"
#include "transpose/accompaniment_processor.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <ctime>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Records how late every tick of a 1 ms precise timer comes while it runs.
class StallMeter {
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const qint64 cpu = threadCpu_ns();
            const qint64 queued = runQueueWait_ns();
            const qint64 lateness = std::max<qint64>(0, now - m_last - 1'000'000);
            if (lateness >= m_worst_ns) {
                m_worst_ns = lateness;
                m_worstQueued_ns = queued - m_lastQueued;
            }
            m_lateness_ns.push_back(lateness);
            m_busy_ns = std::max(m_busy_ns, cpu - m_lastCpu);
            if (m_trace && now - m_last > 8'000'000)
                std::fprintf(stderr,
                             "stall %.1f ms (%.1f ms on the CPU, %.1f ms waiting for one) ending at %lld\n",
                             (now - m_last) / 1e6, (cpu - m_lastCpu) / 1e6, (queued - m_lastQueued) / 1e6,
                             QDateTime::currentMSecsSinceEpoch() % 1000000);
            m_last = now;
            m_lastCpu = cpu;
            m_lastQueued = queued;
        });
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
        m_lastCpu = threadCpu_ns();
        m_timer.start();
    }

    void report(benchmark::State& state)
    {
        m_timer.stop();
        std::vector<qint64> sorted = m_lateness_ns;
        std::sort(sorted.begin(), sorted.end());
        const auto ms = [](qint64 ns) { return static_cast<double>(ns) / 1e6; };
        state.counters["worst_stall_ms"] = sorted.empty() ? 0 : ms(sorted.back());
        state.counters["p99_ms"] = sorted.empty() ? 0 : ms(sorted[(sorted.size() - 1) * 99 / 100]);
        state.counters["ticks"] = static_cast<double>(sorted.size());
        // The main thread's own work between two ticks: a stall longer than this was the
        // thread waiting (for the CPU under load, or for a lock), not working.
        state.counters["worst_busy_ms"] = ms(m_busy_ns);
        // Of the worst stall, the time the thread was ready to run while other threads (other
        // processes on a loaded machine) had the CPUs.
        state.counters["worst_stall_queued_ms"] = ms(m_worstQueued_ns);
    }

private:
    // The second field of the thread's scheduler statistics, in nanoseconds.
    static qint64 runQueueWait_ns()
    {
        QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        return stat.readAll().split(' ').value(1).toLongLong();
    }
    static qint64 threadCpu_ns()
    {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastCpu = 0;
    qint64 m_busy_ns = 0;
    std::vector<qint64> m_lateness_ns;
    qint64 m_lastQueued = runQueueWait_ns();
    qint64 m_worst_ns = 0;
    qint64 m_worstQueued_ns = 0;
    // STALL_TRACE set: every stall above the budget is written to stderr.
    const bool m_trace = qEnvironmentVariableIsSet("STALL_TRACE");
};

// Runs `workload` on the main event loop with the meter ticking beside it.
void measureStalls(benchmark::State& state, const std::function<QCoro::Task<>()>& workload)
{
    for (auto _ : state) {
        StallMeter meter;
        QCoro::waitFor(workload());
        meter.report(state);
    }
}

// Nothing but the meter: the floor the other cases stand on.
void BM_Idle(benchmark::State& state)
{
    measureStalls(state, []() -> QCoro::Task<> { co_await cancellation::sleepFor(2s, {}); });
}
BENCHMARK(BM_Idle)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

bench_desk::Desk& desk()
{
    static auto* instance = new bench_desk::Desk();
    return *instance;
}

// Ten polls 400 ms apart, the readers on the monitor's executor as the loop runs them;
// every third one after the players' files changed, as on a song change.
QCoro::Task<> pollPlayers()
{
    bench_desk::Desk& d = desk();
    for (int i = 0; i < 10; ++i) {
        if (i % 3 == 0)
            d.touchAll();
        co_await d.monitor->pollAsync({});
        co_await cancellation::sleepFor(400ms, {});
    }
}

void BM_PollPlayersAsync(benchmark::State& state)
{
    desk(); // set up (players started, files written) before the meter runs
    measureStalls(state, [] { return pollPlayers(); });
}
BENCHMARK(BM_PollPlayersAsync)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The null sink's monitor, once the client has listed it (bounded: the client connects in
// the background).
std::optional<uint32_t> loopMonitor(const AudioInputService& audio)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (const auto& channel : AudioChannelDetector::listInputs(audio)) {
            if (channel.uid == QStringLiteral("loop.monitor"))
                return channel.deviceID;
        }
        QThread::msleep(50);
    }
    return std::nullopt;
}

// Five captures from the null sink's monitor, each stopped 300 ms after it began.
void BM_CaptureStartStop(benchmark::State& state)
{
    PulseAudioClient audio;
    const auto device = loopMonitor(audio);
    if (!device) {
        state.SkipWithError("no loop.monitor: run under tests/run-with-services");
        return;
    }
    int recorded = 0;
    measureStalls(state, [&]() -> QCoro::Task<> {
        for (int i = 0; i < 5; ++i) {
            std::stop_source stop;
            QTimer::singleShot(300, [&stop] { stop.request_stop(); });
            const auto samples = co_await AudioChannelDetector::capture(audio, *device, 1s, stop.get_token());
            recorded += samples ? 1 : 0;
            co_await cancellation::sleepFor(100ms, {});
        }
    });
    state.counters["recorded"] = recorded;
}
BENCHMARK(BM_CaptureStartStop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Five listings 400 ms apart, as the panel refreshes its channel picker, from a client of
// the run that cannot reach its server (it keeps trying in the background meanwhile).
QCoro::Task<> listInputsRepeatedly(const QByteArray& server, int& listed)
{
    const PulseAudioClient audio(PulseAudioClient::Options{server});
    for (int i = 0; i < 5; ++i) {
        listed += static_cast<int>(AudioChannelDetector::listInputs(audio).size());
        co_await cancellation::sleepFor(400ms, {});
    }
}

// No server at the address at all: the connection is refused.
void BM_ListInputsNoServer(benchmark::State& state)
{
    QTemporaryDir dir;
    const QByteArray server = "unix:" + dir.filePath(QStringLiteral("nobody")).toUtf8();
    int listed = 0;
    measureStalls(state, [&] { return listInputsRepeatedly(server, listed); });
    state.counters["listed"] = listed;
}
BENCHMARK(BM_ListInputsNoServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A stopped server: the kernel accepts the connection, nobody ever answers.
void BM_ListInputsStoppedServer(benchmark::State& state)
{
    QTemporaryDir dir;
    const QByteArray path = dir.filePath(QStringLiteral("stopped")).toUtf8();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy_n(path.constData(), std::min<size_t>(path.size(), sizeof(address.sun_path) - 1),
                address.sun_path);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 16) != 0) {
        state.SkipWithError("cannot listen on a unix socket");
        return;
    }
    int listed = 0;
    measureStalls(state, [&] { return listInputsRepeatedly("unix:" + path, listed); });
    state.counters["listed"] = listed;
    ::close(fd);
}
BENCHMARK(BM_ListInputsStoppedServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Ten changes of a stored setting 300 ms apart, as the transposition buttons store the last
// used transposition.
void BM_SettingChange(benchmark::State& state)
{
    TempHome home;
    measureStalls(state, [&]() -> QCoro::Task<> {
        for (int i = 0; i < 10; ++i) {
            home.settings().setLastUsedTranspose(i % 5);
            co_await cancellation::sleepFor(300ms, {});
        }
    });
}
BENCHMARK(BM_SettingChange)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The "natural" preset, then F major: ten pushes 200 ms apart into a temporary link folder.
void BM_PresetPush(benchmark::State& state)
{
    QTemporaryDir home;
    const QByteArray previousHome = qgetenv("HOME");
    qputenv("HOME", home.path().toUtf8());
    {
        AutoTuneSyncer syncer;
        const AutoTuneSettings natural{0.3f, 0.5f, 0.5f, 0.7f, 0.366667f, 49.0f / 99.0f,
                                       1.0f, 0.5f, 1.0f, 0.0f, 0.25f,     false};
        measureStalls(state, [&]() -> QCoro::Task<> {
            for (int i = 0; i < 10; ++i) {
                syncer.apply(natural);
                syncer.setKeyScale(5, 1);
                co_await cancellation::sleepFor(200ms, {});
            }
        });
    }
    qputenv("HOME", previousHome);
}
BENCHMARK(BM_PresetPush)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One measurement of 45 s of audio on the detector's executor, model loading included.
void BM_KeyDetectorV5Measurement(benchmark::State& state)
{
    KeyDetectorV5 detector([] { return findResourceDir(); });
    // Rendered before the meter runs, and handed over, not copied, inside its window.
    std::vector<float> audio = test_signals::cadence(9, true, 45.0, 44100.0);
    bool measured = false;
    measureStalls(state, [&]() -> QCoro::Task<> {
        QFuture<KeyDetectorV5::Outcome> measurement = detector.measure(std::move(audio), 44100.0);
        const auto result = co_await cancellation::awaitFuture(measurement, {});
        measured = result && result->measurement.has_value();
    });
    state.counters["measured"] = measured ? 1 : 0;
}
BENCHMARK(BM_KeyDetectorV5Measurement)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Ten changes of transposition 300 ms apart on a processor that runs from "loop" to a
// second null sink made the default (the loop's own monitor would feed back).
void BM_TransposeChangeWhileRunning(benchmark::State& state)
{
    const auto pactl = [](const QStringList& arguments) {
        QProcess p;
        p.start(QStringLiteral("pactl"), arguments);
        p.waitForFinished(5000);
        return p.readAllStandardOutput().trimmed();
    };
    const QByteArray previousDefault = pactl({"get-default-sink"});
    const QByteArray module = pactl({"load-module", "module-null-sink", "sink_name=bench_out", "rate=48000"});
    if (module.isEmpty()) {
        state.SkipWithError("no PulseAudio server: run under tests/run-with-services");
        return;
    }
    pactl({"set-default-sink", "bench_out"});
    QTemporaryDir home;
    SettingsStore settings(home.filePath(QStringLiteral("Tonivox.conf")));
    SettingsStore* previousSettings = SettingsStore::installShared(&settings);
    settings.setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
    {
        PulseAudioClient audio;
        for (int i = 0; i < 200 && audio.defaultSinkName() != QStringLiteral("bench_out"); ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(10);
        }
        AccompanimentProcessor processor(audio);
        processor.setSemitones(2);
        if (!processor.start()) {
            state.SkipWithError(qPrintable(processor.statusText()));
        } else {
            double worstCall_ms = 0;
            measureStalls(state, [&]() -> QCoro::Task<> {
                co_await cancellation::sleepFor(300ms, {});
                for (const int semitones : {5, -3, 0, 6, -6, 1, 0, -1, 4, 2}) {
                    QElapsedTimer call;
                    call.start();
                    processor.setSemitones(semitones);
                    worstCall_ms = std::max(worstCall_ms, static_cast<double>(call.nsecsElapsed()) / 1e6);
                    co_await cancellation::sleepFor(300ms, {});
                }
            });
            state.counters["worst_change_call_ms"] = worstCall_ms;
            state.counters["running"] = processor.isRunning() ? 1 : 0;
        }
    }
    SettingsStore::installShared(previousSettings);
    pactl({"set-default-sink", QString::fromUtf8(previousDefault)});
    pactl({"unload-module", QString::fromUtf8(module)});
}
BENCHMARK(BM_TransposeChangeWhileRunning)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Recordings that come at once from a rendered A major accompaniment, so that a detection
// run reaches its measurement in seconds; the channel is a name only.
class InstantAudio final : public AudioPort {
public:
    std::vector<AudioChannel> listInputs() const override { return {m_channel}; }
    std::optional<AudioChannel> selectedChannel() const override { return m_channel; }
    QCoro::Task<std::optional<std::vector<float>>> capture(uint32_t, std::chrono::duration<double> length,
                                                           std::stop_token stop) override
    {
        co_await cancellation::sleepFor(20ms, stop);
        // The song goes on from where the previous recording ended; the copy is made on a
        // worker, as the sound server's client hands its recordings over.
        const auto count = std::min(m_song.size() / 2, static_cast<std::size_t>(length.count() * 44100));
        if (m_next + count > m_song.size())
            m_next = 0;
        const auto from = m_song.begin() + static_cast<std::ptrdiff_t>(m_next);
        m_next += count;
        QFuture<std::vector<float>> copy = QtConcurrent::run(
            [from, count] { return std::vector<float>(from, from + static_cast<std::ptrdiff_t>(count)); });
        std::optional<std::vector<float>> out = co_await cancellation::awaitFuture(copy, stop);
        co_return out;
    }

private:
    AudioChannel m_channel{1, QStringLiteral("Monitor of Loopback"), QStringLiteral("loop.monitor")};
    // Rendered before the meter runs.
    std::vector<float> m_song = synth::progression(9, synth::majorCadence(), 100.0, 44100);
    std::size_t m_next = 0;
};

// The song tracker of the run over the three players of the desk, the real key library on
// loopback, a temporary link folder, and local detection on instant recordings.
struct TrackerRig {
    TempHome home;
    QTemporaryDir files;
    std::unique_ptr<KeylibServerProcess> server;
    AppState state{home.settings()};
    AutoTuneSyncer syncer;
    TuningControls tuning{state, syncer, home.settings()};
    MonitorPlayerPort players{*desk().monitor};
    NoWindowRecognition window;
    struct : TransposerPort {
        void start() override {}
        void stop() override {}
    } transposer;
    InstantAudio audio;
    KeyDetectorV5 v5{[] { return findResourceDir(); }};
    std::unique_ptr<SongTracker> tracker;
    std::unique_ptr<LocalDetection> detection;

    // `seed`: the library's songs; the MPRIS player of the desk plays `title` by `artist`.
    TrackerRig(const QByteArray& seed, const QString& title, const QString& artist)
    {
        server = std::make_unique<KeylibServerProcess>(
            QStringList{QStringLiteral("--seed"),
                        KeylibServerProcess::writeTemp(files, QStringLiteral("seed.json"), seed)});
        home.settings().setPrivacyConsent(true);
        home.settings().setServerBaseURL(server->baseURL());
        home.settings().setAccessToken(QStringLiteral("bench"));
        desk().qqProcess->script(QStringLiteral("qqmusic"), QStringLiteral("SetMetadata"),
                                 {QVariantMap{{QStringLiteral("xesam:title"), title},
                                              {QStringLiteral("xesam:artist"), QStringList{artist}}}});
        desk().qqProcess->script(QStringLiteral("qqmusic"), QStringLiteral("SetStatus"),
                                 {QStringLiteral("Playing")});
    }
    void start()
    {
        if (qEnvironmentVariableIsSet("STALL_TRACE")) {
            QObject::connect(&state, &AppState::keyTextChanged, [this] {
                std::fprintf(stderr, "key line %s at %lld\n", qPrintable(state.keyText()),
                             QDateTime::currentMSecsSinceEpoch() % 1000000);
            });
            std::fprintf(stderr, "start at %lld\n", QDateTime::currentMSecsSinceEpoch() % 1000000);
        }
        SongTracker::Deps deps{state,  home.settings(), syncer, tuning, players,
                               window, transposer,      audio,  v5};
        // The library-key check waits 10 s for the intro; here it need not.
        deps.sleep = [](std::chrono::milliseconds d, std::stop_token stop) {
            return cancellation::sleepFor(d == SongTracker::kVerifyDelay ? 300ms : d, std::move(stop));
        };
        tracker = std::make_unique<SongTracker>(deps);
        detection = std::make_unique<LocalDetection>(
            LocalDetection::Deps{state, syncer, players, audio, v5,
                                 [this](const QString& key) { tracker->applyKeyToAutotune(key); }});
        tracker->setLocalDetection(detection.get());
        tracker->start();
    }
    int reports() const
    {
        int n = 0;
        for (const QJsonObject& r : server->requests())
            n += r.value(QStringLiteral("path")).toString() == QStringLiteral("/v1/key/report") ? 1 : 0;
        return n;
    }
};

// Polls `done` every 100 ms for at most `limit`.
QCoro::Task<bool> until(std::function<bool()> done, std::chrono::milliseconds limit)
{
    for (auto waited = 0ms; waited < limit; waited += 100ms) {
        if (done())
            co_return true;
        co_await cancellation::sleepFor(100ms, {});
    }
    co_return done();
}

// An unknown song: the tracker polls the three players every 400 ms while local detection
// listens, measures (V2 on a worker, V5 on its executor), decides and sends its report.
void BM_TrackerDuringMeasurement(benchmark::State& state)
{
    desk();
    TrackerRig rig("[]", QStringLiteral("无名之歌"), QStringLiteral("无名氏"));
    bool decided = false;
    measureStalls(state, [&]() -> QCoro::Task<> {
        rig.start();
        decided = co_await until([&] { return rig.state.keyText().endsWith(QStringLiteral("调")); }, 60s);
        co_await until([&] { return rig.reports() > 0; }, 5s);
    });
    state.counters["decided"] = decided ? 1 : 0;
    state.counters["reports"] = rig.reports();
    if (!decided)
        std::fprintf(stderr, "key line: %s / %s\n", qPrintable(rig.state.keyText()),
                     qPrintable(rig.state.keyDetail()));
    rig.tracker.reset();
}
BENCHMARK(BM_TrackerDuringMeasurement)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A library song: its key goes out at once, then the library-key check captures, measures
// both detectors and sends its verification report, with the three players polled beside.
void BM_TrackerDuringVerification(benchmark::State& state)
{
    desk();
    TrackerRig rig(R"([{"artist": "周杰伦", "title": "晴天", "key": "A 大调"}])", QStringLiteral("晴天"),
                   QStringLiteral("周杰伦"));
    bool verified = false;
    measureStalls(state, [&]() -> QCoro::Task<> {
        rig.start();
        co_await until([&] { return rig.tracker->isVerificationRunning(); }, 10s);
        verified = co_await until([&] { return !rig.tracker->isVerificationRunning(); }, 60s);
        co_await until([&] { return rig.reports() > 0; }, 5s);
    });
    state.counters["verified"] = verified ? 1 : 0;
    state.counters["reports"] = rig.reports();
    rig.tracker.reset();
}
BENCHMARK(BM_TrackerDuringVerification)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// No player reports anything: the tracker only follows the sound server here.
struct SilentPlayers final : PlayerPort {
    QCoro::Task<bool> poll(std::stop_token) override { co_return true; }
    std::optional<Song> activeSong() const override { return std::nullopt; }
    QString label() const override { return {}; }
    QString localReadDiag() const override { return {}; }
};

// Records 30 s from the chosen channel; `endedAfter_s` is when the recording came back,
// counted by `since`.
QCoro::Task<> recordUntilItEnds(PulseAudioPort& port, const QElapsedTimer& since, double& endedAfter_s,
                                std::stop_token stop)
{
    const auto channel = port.selectedChannel();
    if (!channel)
        co_return;
    co_await port.capture(channel->deviceID, 30s, stop);
    if (!stop.stop_requested())
        endedAfter_s = static_cast<double>(since.nsecsElapsed()) / 1e9;
}

// A sound server that freezes (SIGSTOP) while the run is connected to it, with the
// transposer playing from the chosen channel and a detection recording under way: the run
// gives the server up by itself, the channel status says so, and after SIGCONT the
// transposer plays again by itself. The stalls are those of the main thread throughout.
// A private server, so that the freeze stops nothing else.
void BM_FrozenSoundServer(benchmark::State& state)
{
    PrivateSoundServer sound;
    // The default output is "loop"; the channel is another sink's monitor (never the output's).
    if (!sound.start() ||
        sound.pactl({"load-module", "module-null-sink", "sink_name=private", "rate=48000"}).isEmpty()) {
        state.SkipWithError(qPrintable(sound.errorOutput()));
        return;
    }
    TempHome home;
    home.settings().setAccompanimentChannelUID(QStringLiteral("private.monitor"));
    // Nothing listens there: the version check is refused at once.
    home.settings().setServerBaseURL(QStringLiteral("http://127.0.0.1:9"));
    AppState appState{home.settings()};
    AutoTuneSyncer syncer;
    TuningControls tuning{appState, syncer, home.settings()};
    SilentPlayers players;
    NoWindowRecognition window;
    KeyDetectorV5 v5{[] { return findResourceDir(); }};
    PulseAudioClient audio(PulseAudioClient::Options{sound.address()});
    PulseAudioPort port(audio);
    AccompanimentProcessor processor(audio);
    ProcessorTransposer transposer(processor);
    SongTracker tracker(
        SongTracker::Deps{appState, home.settings(), syncer, tuning, players, window, transposer, port, v5});
    cancellation::TaskHandle recording;
    QElapsedTimer sinceFreeze;
    double lostAfter_s = -1, recordingEndedAfter_s = -1, runningAgainAfter_s = -1;
    bool frozen = false;
    measureStalls(state, [&]() -> QCoro::Task<> {
        tracker.start();
        if (!co_await until([&] { return processor.isRunning(); }, 15s))
            co_return;
        const QString shown = appState.channelStatus();
        recording.start([&](std::stop_token stop) {
            return recordUntilItEnds(port, sinceFreeze, recordingEndedAfter_s, std::move(stop));
        });
        co_await cancellation::sleepFor(500ms, {});
        frozen = sound.freeze();
        sinceFreeze.start();
        if (co_await until([&] { return appState.channelStatus() == AccompanimentProcessor::kLostStatus; },
                           10s))
            lostAfter_s = static_cast<double>(sinceFreeze.nsecsElapsed()) / 1e9;
        co_await until([&] { return !recording.isRunning(); }, 5s);
        sound.thaw();
        QElapsedTimer sinceThaw;
        sinceThaw.start();
        if (co_await until([&] { return processor.isRunning() && appState.channelStatus() == shown; }, 20s))
            runningAgainAfter_s = static_cast<double>(sinceThaw.nsecsElapsed()) / 1e9;
    });
    sound.thaw();
    recording.cancel();
    QCoro::waitFor(until([&] { return !recording.isRunning(); }, 5s));
    tracker.stop();
    if (!frozen)
        state.SkipWithError("the server could not be stopped");
    state.counters["lost_after_s"] = lostAfter_s;
    state.counters["recording_ended_after_s"] = recordingEndedAfter_s;
    state.counters["running_again_after_s"] = runningAgainAfter_s;
}
BENCHMARK(BM_FrozenSoundServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The process's own CPU time (user + system) in seconds, from /proc.
std::optional<double> cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = stat.readAll();
    // Fields after the command name (which may hold blanks) start after the last ')'.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return std::nullopt;
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (fields[11].toDouble() + fields[12].toDouble()) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The whole program at rest with three players running (the desk's processes and files, a
// song playing over MPRIS): its own CPU time over 60 s, after 10 s to settle. Target: below
// 0.5 % of one core.
void BM_ProgramIdleCpuThreePlayers(benchmark::State& state)
{
    bench_desk::Desk& d = desk();
    KeylibServerProcess server(QStringList{});
    {
        SettingsStore settings(d.home.path() + QStringLiteral("/.config/Tonivox/Tonivox.conf"));
        settings.setPrivacyConsent(true);
        settings.setServerBaseURL(server.baseURL());
        settings.setAccessToken(QStringLiteral("bench"));
        settings.sync();
    }
    d.qqProcess->script(
        QStringLiteral("qqmusic"), QStringLiteral("SetMetadata"),
        {QVariantMap{{QStringLiteral("xesam:title"), QStringLiteral("无名之歌")},
                     {QStringLiteral("xesam:artist"), QStringList{QStringLiteral("无名氏")}}}});
    d.qqProcess->script(QStringLiteral("qqmusic"), QStringLiteral("SetStatus"), {QStringLiteral("Playing")});
    for (auto _ : state) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), d.home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), d.home.path() + QStringLiteral("/.config"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), d.bus.address());
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(TONIVOX_BINARY), {});
        if (!program.waitForStarted(5000)) {
            state.SkipWithError("the program did not start");
            return;
        }
        QCoro::waitFor(cancellation::sleepFor(10s, {}));
        const auto before = cpuSeconds(program.processId());
        QElapsedTimer wall;
        wall.start();
        QCoro::waitFor(cancellation::sleepFor(60s, {}));
        const auto after = cpuSeconds(program.processId());
        const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
        program.terminate();
        program.waitForFinished(10000);
        if (!before || !after) {
            state.SkipWithError("cannot read the program's CPU time");
            return;
        }
        state.counters["cpu_percent_of_core"] = 100.0 * (*after - *before) / seconds;
        state.counters["cpu_ms_per_s"] = 1000.0 * (*after - *before) / seconds;
    }
}
BENCHMARK(BM_ProgramIdleCpuThreePlayers)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
