// One state-file write: the text of a full parameter map with metadata, atomically
// replacing the file in a temporary link directory.
#include "pluginlink/plugin_ipc.h"

#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

PluginIPC::ParamMap fullMap()
{
    PluginIPC::ParamMap m;
    for (const char* name :
         {"1", "2", "47", "classicMode", "correctionMode", "flexTune", "formant", "humanize", "inputType",
          "key", "naturalVibrato", "retune", "scale", "throat", "tracking", "wetDry"})
        m.insert(QLatin1String(name), 0.4242);
    return m;
}

void BM_StateFileWrite(benchmark::State& state)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    PluginIPC::setMetaProvider([] {
        return QMap<QString, QString>{{QStringLiteral("song"), QStringLiteral("周杰伦 - 晴天")},
                                      {QStringLiteral("key"), QStringLiteral("C#/Db 大调")},
                                      {QStringLiteral("detail"), QStringLiteral("曲库命中")},
                                      {QStringLiteral("source"), QStringLiteral("QQ音乐")}};
    });
    const PluginIPC::ParamMap map = fullMap();
    for (auto _ : state)
        PluginIPC::write(map, state.range(0) != 0);
}
BENCHMARK(BM_StateFileWrite)->Arg(0)->Arg(1)->ArgName("heartbeat")->Unit(benchmark::kMicrosecond);

void BM_StateText(benchmark::State& state)
{
    const PluginIPC::ParamMap map = fullMap();
    const QMap<QString, QString> meta = {{QStringLiteral("song"), QStringLiteral("周杰伦 - 晴天")}};
    for (auto _ : state)
        benchmark::DoNotOptimize(PluginIPC::stateText(1700000000000, map, meta));
}
BENCHMARK(BM_StateText)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
