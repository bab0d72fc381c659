// Window recognition under the test services: one pass (grab of the bar strip, 3x upscale,
// recognition) and one whole attempt (five passes, the pauses left out), in process CPU and
// wall time, with the share of a core that one attempt every 3 s costs. Also counts the
// process's threads while recognition runs: the engine must add none (OpenMP on one thread),
// also when OMP_THREAD_LIMIT is not set.
#include "core/settings_store.h"
#include "platform/window_reader.h"
#include "players/player_detector.h"
#include "players/player_fixtures.h"

#include <QCoro/QCoroTask>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <ctime>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr double kAttemptSpacing_s = 3.0;

int threadCount()
{
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Samples the thread count every millisecond while alive and keeps the largest.
class ThreadPeak {
public:
    ThreadPeak()
        : m_sampler([this] {
              while (!m_stop) {
                  m_peak = std::max(m_peak.load(), threadCount());
                  std::this_thread::sleep_for(1ms);
              }
          })
    {}
    ~ThreadPeak()
    {
        m_stop = true;
        m_sampler.join();
    }
    // The sampler itself is one of the threads counted.
    int peakWithoutSampler() const { return m_peak.load() - 1; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_peak{0};
    std::thread m_sampler;
};

struct Desk {
    QTemporaryDir home;
    SettingsStore settings{home.path() + QStringLiteral("/Tonivox.conf")};
    PlayerDetector::Clock::time_point now = PlayerDetector::Clock::now();
    std::unique_ptr<PlayerWindow> window;
    std::unique_ptr<platform::WindowReader> reader;
    std::unique_ptr<PlayerDetector> detector;
    // Threads once the reader's worker runs, before the engine has recognised anything.
    int threadsBeforeRecognition = 0;
    quint32 windowId = 0;

    Desk()
    {
        window = std::make_unique<PlayerWindow>(QStringLiteral("kugou"), QStringLiteral("800x600"),
                                                QStringLiteral("bar 晴天 - 周杰伦"));
        reader = std::make_unique<platform::WindowReader>();
        for (int i = 0; i < 100 && windowId == 0; ++i) {
            if (const auto desktop = reader->list().result()) {
                for (const auto& w : desktop->windows) {
                    if (w.processIdentifier == window->pid())
                        windowId = w.id;
                }
            }
            if (windowId == 0)
                QThread::msleep(50);
        }
        threadsBeforeRecognition = threadCount();
        detector = std::make_unique<PlayerDetector>(
            PlayerDetector::Deps{*reader, settings, std::make_shared<OwnChildren>(), [](const QString&) {},
                                 [this] { return now; }, 0ms});
    }
};

Desk& desk()
{
    static Desk* instance = new Desk();
    return *instance;
}

// The kugou bar strip of an 800 x 600 window at scale 1: 465 x 100 device pixels.
const QRect kStrip(135, 500, 465, 100);

void BM_OnePass(benchmark::State& state)
{
    Desk& d = desk();
    if (d.windowId == 0) {
        state.SkipWithError("no player window (run under tests/run-with-services)");
        return;
    }
    ThreadPeak peak;
    std::size_t lines = 0;
    for (auto _ : state) {
        const auto read = d.reader->readStrip(d.windowId, kStrip, 3.0).result();
        lines = read ? read->size() : 0;
    }
    state.counters["lines"] = double(lines);
    state.counters["threads_added"] = double(peak.peakWithoutSampler() - d.threadsBeforeRecognition);
}
BENCHMARK(BM_OnePass)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->MinTime(3.0);

void BM_OneAttempt(benchmark::State& state)
{
    Desk& d = desk();
    if (d.windowId == 0) {
        state.SkipWithError("no player window (run under tests/run-with-services)");
        return;
    }
    ThreadPeak peak;
    bool read = false;
    const double cpuBefore = processCpuSeconds();
    for (auto _ : state) {
        d.now += 3s; // past the 2 s cache
        read = QCoro::waitFor(d.detector->ocrCurrentSong()).has_value();
    }
    const double cpuPerAttempt = (processCpuSeconds() - cpuBefore) / double(state.iterations());
    state.counters["song_read"] = read ? 1 : 0;
    state.counters["core_share_at_3s_pct"] = 100.0 * cpuPerAttempt / kAttemptSpacing_s;
    state.counters["threads_added"] = double(peak.peakWithoutSampler() - d.threadsBeforeRecognition);
}
BENCHMARK(BM_OneAttempt)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->MinTime(5.0);

} // namespace
