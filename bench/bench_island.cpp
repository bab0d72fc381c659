// The floating bars' own costs, on the test services' X display, rendered by Qt Quick's
// software renderer (the program's default): the frames of the island's opening animation
// and of the capsule's magnification under a sweeping pointer, one pointer query of the
// island's 60 Hz tick, and the process CPU the tick adds while the island is shown and
// collapsed (shown minus hidden, 60 s each, the pointer far from the top and near it;
// TONIVOX_BENCH_IDLE_S shortens them).
#include "app/app_run.h"
#include "app/song_tracker.h"
#include "core/app_state.h"
#include "platform/x11_window_state.h"
#include "support/temp_home.h"
#include "ui/capsule_bar_controller.h"
#include "ui/desktop_ui.h"
#include "ui/floating_bar_window_controller.h"
#include "ui/notch_bar_window_controller.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <ctime>
#include <memory>

namespace {

// Far from the island on the test screen.
const QPoint kAway(300, 800);
// Below the hot zone, outside it, within reach.
const QPoint kNearTheTop(960, 200);

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs the event loop (sleeping while there is nothing to do) for `ms` milliseconds or
// until `done` holds, checked every 5 ms.
void spin(int ms, const std::function<bool()>& done = {})
{
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(ms);
    QTimer check;
    if (done) {
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        check.start(5);
    }
    if (!(done && done()))
        loop.exec();
}

// Times each frame of a window from the start of its synchronisation to its swap.
class FrameTimes {
public:
    explicit FrameTimes(QQuickWindow& window) : m_window(window)
    {
        m_clock.start();
        QObject::connect(
            &window, &QQuickWindow::beforeSynchronizing, &window,
            [this] { m_frameStart = m_clock.nsecsElapsed(); }, Qt::DirectConnection);
        QObject::connect(
            &window, &QQuickWindow::frameSwapped, &window,
            [this] { m_frames_ms.push_back(double(m_clock.nsecsElapsed() - m_frameStart) / 1e6); },
            Qt::DirectConnection);
    }
    ~FrameTimes() { QObject::disconnect(&m_window, nullptr, &m_window, nullptr); }
    void clear() { m_frames_ms.clear(); }
    qint64 now_ns() const { return m_clock.nsecsElapsed(); }
    // The frames since clear() as counters, and the renderer as the label.
    void report(benchmark::State& state) const
    {
        if (!m_frames_ms.empty()) {
            double sum = 0;
            for (double f : m_frames_ms)
                sum += f;
            state.counters["frames"] = double(m_frames_ms.size());
            state.counters["frame_mean_ms"] = sum / double(m_frames_ms.size());
            state.counters["frame_max_ms"] = *std::max_element(m_frames_ms.begin(), m_frames_ms.end());
        }
        state.SetLabel(m_window.rendererInterface()->graphicsApi() == QSGRendererInterface::Software
                           ? "software renderer"
                           : "hardware renderer");
    }

private:
    QQuickWindow& m_window;
    QElapsedTimer m_clock;
    qint64 m_frameStart = 0;
    std::vector<double> m_frames_ms;
};

// The run, its windows and the island, built once for every benchmark.
struct Desk {
    TempHome home;
    std::unique_ptr<AppRun> run;
    std::unique_ptr<DesktopUi> desktop;
    NotchBarWindowController* island = nullptr;

    Desk()
    {
        run = std::make_unique<AppRun>(AppRun::Paths{home.settingsPath(), home.path(), home.path()});
        run->tracker().stop();
        // The island is the default bar: the desktop shows it.
        desktop = std::make_unique<DesktopUi>(*run);
        island = &desktop->island();
    }
    QQuickItem* card() const { return island->window()->findChild<QQuickItem*>(QStringLiteral("island")); }
    bool opened() const
    {
        return card() && card()->height() == island->window()->property("mainHeight").toReal();
    }
};

Desk& desk()
{
    static Desk* shared = new Desk;
    return *shared;
}

void BM_IslandOpeningFrames(benchmark::State& state)
{
    Desk& d = desk();
    QCursor::setPos(kAway);
    d.island->show();
    spin(500);
    QQuickWindow* window = d.island->window();
    if (!window || !d.card()) {
        state.SkipWithError("the island did not load");
        return;
    }
    FrameTimes frames(*window);
    for (auto _ : state) {
        frames.clear();
        const qint64 began = frames.now_ns();
        d.island->expand();
        spin(3000, [&] { return d.opened(); });
        spin(50); // the last frame
        state.SetIterationTime(double(frames.now_ns() - began) / 1e9);
        frames.report(state);
        // Collapsed again for the next opening.
        d.island->hide();
        d.island->show();
        spin(300);
    }
    d.island->hide();
}
BENCHMARK(BM_IslandOpeningFrames)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// The capsule under a pointer sweeping across its buttons, one position per frame.
void BM_CapsuleMagnificationFrames(benchmark::State& state)
{
    Desk& d = desk();
    QCursor::setPos(kAway);
    d.run->state().setFloatingBarStyleRaw(QStringLiteral("capsule"));
    QQuickWindow* window = d.desktop->floatingBar().capsuleWindow();
    spin(500);
    if (!window) {
        state.SkipWithError("the capsule did not load");
        return;
    }
    FrameTimes frames(*window);
    CapsuleBarController& capsule = d.desktop->capsuleBar();
    for (auto _ : state) {
        frames.clear();
        for (double x = 150; x <= 620; x += 8) {
            capsule.setPointer(x);
            spin(17);
        }
        capsule.clearPointer();
        spin(50);
        frames.report(state);
    }
    d.run->state().setFloatingBarStyleRaw(QStringLiteral("notch"));
    d.island->hide();
}
BENCHMARK(BM_CapsuleMagnificationFrames)->Iterations(5)->Unit(benchmark::kMillisecond);

// One tick's X round trip: where the pointer is and whether a button is held.
void BM_PointerQuery(benchmark::State& state)
{
    desk();
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::queryPointer());
}
BENCHMARK(BM_PointerQuery)->Unit(benchmark::kMicrosecond);

double idleCpuPercent(int seconds)
{
    spin(1000);
    const double before = processCpuSeconds();
    spin(seconds * 1000);
    return (processCpuSeconds() - before) / seconds * 100.0;
}

// The island shown and collapsed, the pointer still: far from the top (sampled every
// 100 ms) and within reach of the hot zone (every 60 Hz frame), against the island hidden.
void BM_TickCpuWhileCollapsed(benchmark::State& state)
{
    const int seconds = qEnvironmentVariableIsSet("TONIVOX_BENCH_IDLE_S")
                            ? std::max(1, qEnvironmentVariableIntValue("TONIVOX_BENCH_IDLE_S"))
                            : 60;
    Desk& d = desk();
    for (auto _ : state) {
        QCursor::setPos(kAway);
        d.island->hide();
        const double hidden = idleCpuPercent(seconds);
        d.island->show();
        const double far = idleCpuPercent(seconds);
        QCursor::setPos(kNearTheTop);
        const double near = idleCpuPercent(seconds);
        d.island->hide();
        state.counters["hidden_cpu_percent"] = hidden;
        state.counters["far_tick_cpu_percent"] = far - hidden;
        state.counters["near_60Hz_tick_cpu_percent"] = near - hidden;
    }
}
BENCHMARK(BM_TickCpuWhileCollapsed)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
