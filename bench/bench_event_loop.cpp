// The main thread's worst stall: the lateness of a 1 ms precise timer on the main event loop
// while the run's recurring work goes on. Each case runs its workload as a coroutine on the
// main thread for a few seconds and reports the worst and the 99th-percentile lateness.
// Budget: no stall above 8 ms (half a 60 Hz frame). Run under tests/run-with-services.
#include "core/cancellation.h"
#include "core/resource_bundle.h"
#include "core/settings_store.h"
#include "keydetect/audio_channel_detector.h"
#include "keydetect/v5/key_detector_v5.h"
#include "keydetect_v5/test_signals.h"
#include "platform/pulse_audio_client.h"
#include "player_desk.h"
#include "pluginlink/auto_tune_settings.h"
#include "pluginlink/auto_tune_syncer.h"
#include "transpose/accompaniment_processor.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
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
            m_lateness_ns.push_back(std::max<qint64>(0, now - m_last - 1'000'000));
            m_last = now;
        });
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
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
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    std::vector<qint64> m_lateness_ns;
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

// Ten polls 400 ms apart; every third one after the players' files changed, as on a song change.
QCoro::Task<> pollPlayers(bool async)
{
    bench_desk::Desk& d = desk();
    for (int i = 0; i < 10; ++i) {
        if (i % 3 == 0)
            d.touchAll();
        if (async)
            co_await d.monitor->pollAsync({});
        else
            d.monitor->poll();
        co_await cancellation::sleepFor(400ms, {});
    }
}

// What the loop did before: the readers run on the main thread.
void BM_PollPlayersOnMainThread(benchmark::State& state)
{
    desk(); // set up (players started, files written) before the meter runs
    measureStalls(state, [] { return pollPlayers(false); });
}
BENCHMARK(BM_PollPlayersOnMainThread)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PollPlayersAsync(benchmark::State& state)
{
    desk();
    measureStalls(state, [] { return pollPlayers(true); });
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
    const auto audio = test_signals::cadence(9, true, 45.0, 44100.0);
    bool measured = false;
    measureStalls(state, [&]() -> QCoro::Task<> {
        const auto result = co_await cancellation::awaitFuture(detector.measure(audio, 44100.0), {});
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

} // namespace
