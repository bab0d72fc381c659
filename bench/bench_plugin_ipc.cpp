// The plug-in state file: one write of a full parameter map with metadata, a whole preset
// push as the preset logic makes it, and the text alone; in a temporary link directory on
// the same disk as the real one.
#include "pluginlink/auto_tune_syncer.h"
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

// Points HOME at a fresh folder and installs the four metadata lines for one benchmark.
class LinkDir {
public:
    LinkDir()
    {
        qputenv("HOME", m_home.path().toUtf8());
        PluginIPC::setMetaProvider([] {
            return QMap<QString, QString>{{QStringLiteral("song"), QStringLiteral("周杰伦 - 晴天")},
                                          {QStringLiteral("key"), QStringLiteral("C#/Db 大调")},
                                          {QStringLiteral("detail"), QStringLiteral("曲库命中")},
                                          {QStringLiteral("source"), QStringLiteral("QQ音乐")}};
        });
    }
    ~LinkDir() { PluginIPC::setMetaProvider(nullptr); }

private:
    QTemporaryDir m_home;
};

void BM_StateFileWrite(benchmark::State& state)
{
    LinkDir dir;
    const PluginIPC::ParamMap map = fullMap();
    for (auto _ : state)
        PluginIPC::write(map, state.range(0) != 0);
}
BENCHMARK(BM_StateFileWrite)->Arg(0)->Arg(1)->ArgName("heartbeat")->Unit(benchmark::kMicrosecond);

// What applying a preset costs the main thread: the settings, then the key and scale.
void BM_PresetPush(benchmark::State& state)
{
    LinkDir dir;
    AutoTuneSyncer syncer(nullptr);
    AutoTuneSettings natural;
    natural.retuneSpeed = 0.3f;
    natural.humanize = 0.5f;
    natural.flexTune = 0.5f;
    natural.naturalVibrato = 0.7f;
    natural.vibratoAmplitude = 0.3667f;
    natural.tracking = 0.4949f;
    natural.formantCorrection = 1.0f;
    natural.throatLength = 0.5f;
    natural.wetDry = 1.0f;
    natural.inputType = 0.25f;
    int semitone = 0;
    for (auto _ : state) {
        syncer.apply(natural);
        syncer.setKeyScale(++semitone, 1);
    }
}
BENCHMARK(BM_PresetPush)->Unit(benchmark::kMillisecond);

void BM_StateText(benchmark::State& state)
{
    const PluginIPC::ParamMap map = fullMap();
    const QMap<QString, QString> meta = {{QStringLiteral("song"), QStringLiteral("周杰伦 - 晴天")}};
    for (auto _ : state)
        benchmark::DoNotOptimize(PluginIPC::stateText(1700000000000, map, meta));
}
BENCHMARK(BM_StateText)->Unit(benchmark::kMicrosecond);

} // namespace
