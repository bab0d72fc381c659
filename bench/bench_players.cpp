// The player monitor's poll, which the tracking loop runs every 400 ms: idle (three players
// running, nothing changed), after every player file changed, and the now-playing answer.
#include "player_desk.h"

#include <QCoreApplication>
#include <QThread>
#include <benchmark/benchmark.h>

using namespace std::chrono_literals;

namespace {

using bench_desk::Desk;

Desk& desk()
{
    static Desk* instance = new Desk();
    return *instance;
}

void BM_PollIdle(benchmark::State& state)
{
    Desk& d = desk();
    for (auto _ : state)
        d.monitor->poll();
    state.counters["active"] = d.monitor->active() ? 1 : 0;
}
BENCHMARK(BM_PollIdle)->Unit(benchmark::kMicrosecond);

void BM_ProcScan(benchmark::State& state)
{
    const platform::ProcRunningApplications apps;
    size_t count = 0;
    for (auto _ : state)
        count = apps.list().size();
    state.counters["processes"] = static_cast<double>(count);
}
BENCHMARK(BM_ProcScan)->Unit(benchmark::kMicrosecond);

// QQ Music's audio cache (200 files in 10 folders), part of every poll: the watched scan of a
// quiet cache, and the full walk it falls back to.
void BM_AudioCacheScan(benchmark::State& state)
{
    Desk& d = desk();
    for (auto _ : state)
        benchmark::DoNotOptimize(d.qq->lastCacheRead());
}
BENCHMARK(BM_AudioCacheScan)->Unit(benchmark::kMicrosecond);

void BM_AudioCacheFullWalk(benchmark::State& state)
{
    Desk& d = desk();
    int files = 0;
    for (auto _ : state) {
        files = 0;
        file_times::forEachAccessDateBelow(d.qq->cacheDir(), "-13.mgg",
                                           [&](const QByteArray&, TimeStamp) { ++files; });
    }
    state.counters["files"] = files;
}
BENCHMARK(BM_AudioCacheFullWalk)->Unit(benchmark::kMicrosecond);

// The lyric database is queried at most once a second, so every third 400 ms poll pays this.
void BM_LyricCacheQuery(benchmark::State& state)
{
    Desk& d = desk();
    for (auto _ : state) {
        state.PauseTiming();
        QQMusicDetector fresh(d.home.path(), d.home.path());
        state.ResumeTiming();
        benchmark::DoNotOptimize(fresh.lyricCacheRead());
    }
}
BENCHMARK(BM_LyricCacheQuery)->Unit(benchmark::kMicrosecond);

void BM_PollAfterEveryFileChanged(benchmark::State& state)
{
    Desk& d = desk();
    for (auto _ : state) {
        state.PauseTiming();
        d.touchAll();
        state.ResumeTiming();
        d.monitor->poll();
    }
}
BENCHMARK(BM_PollAfterEveryFileChanged)->Unit(benchmark::kMicrosecond);

void BM_NowPlayingInfo(benchmark::State& state)
{
    Desk& d = desk();
    for (auto _ : state)
        benchmark::DoNotOptimize(d.nowPlaying->info());
}
BENCHMARK(BM_NowPlayingInfo);

} // namespace
