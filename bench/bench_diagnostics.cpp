// The diagnostic report over a 1 GB sparse plug-in log: only the log's tail is read, so
// time and memory stay those of a small report. Peak resident memory is reported as a
// counter (ru_maxrss after the runs).
#include "core/app_state.h"
#include "core/settings_store.h"
#include "diagnostics/diagnostic_exporter.h"
#include "pluginlink/plugin_ipc.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

namespace {

void BM_BuildTextWithOneGigabyteLog(benchmark::State& state)
{
    QTemporaryDir home;
    const QString linkDir = home.path() + QStringLiteral("/link");
    QDir().mkpath(linkDir);
    QFile log(linkDir + QLatin1Char('/') + QLatin1String(PluginIPC::kPluginLogFile));
    log.open(QIODevice::WriteOnly);
    log.resize(qint64(1) << 30); // sparse: a gigabyte of holes
    log.seek(log.size());
    log.write("last line\n");
    log.close();

    SettingsStore settings(home.path() + QStringLiteral("/Tonivox.conf"));
    AppState appState(settings);
    DiagnosticExporter::Sources sources;
    sources.home = home.path();
    sources.linkDir = linkDir;
    sources.componentsDir = home.path() + QStringLiteral("/.vst3");
    sources.coredumpctl.clear();

    qsizetype size = 0;
    for (auto _ : state) {
        const QString text = DiagnosticExporter::buildText(appState, nullptr, sources);
        size = text.size();
        benchmark::DoNotOptimize(text.constData());
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = double(usage.ru_maxrss) / 1024.0;
    state.counters["report_chars"] = double(size);
}
BENCHMARK(BM_BuildTextWithOneGigabyteLog)->Unit(benchmark::kMillisecond);

} // namespace
