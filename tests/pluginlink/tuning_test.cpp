#include "core/app_state.h"
#include "core/settings_store.h"
#include "pluginlink/auto_tune_presets.h"
#include "pluginlink/auto_tune_settings.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "pluginlink/tuning_controls.h"
#include "support/temp_home.h"

#include <QSettings>
#include <gtest/gtest.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

// The state, the syncer and the controls over a temporary home; the plug-in can be made
// to look alive and to write a change set back.
struct Panel {
    TempHome home;
    AppState state{home.settings()};
    AutoTuneSyncer syncer;
    TuningControls controls{state, syncer, home.settings()};

    Panel() { PluginIPC::resetForTests(); }
    ~Panel() { PluginIPC::resetForTests(); }

    void pluginAlive()
    {
        writeFile(home.linkDir() + QStringLiteral("/rigbox_alive.txt"), "variant=Auto-Tune Pro\n");
        syncer.poll();
    }
    void pluginWritesBack(const QByteArray& lines)
    {
        static qint64 seq = 1000;
        writeFile(home.linkDir() + QStringLiteral("/plugin_params_back.txt"),
                  "seq=" + QByteArray::number(++seq) + "\n" + lines);
        syncer.poll();
    }
    double sent(const char* name) const { return syncer.ipc().value(QLatin1String(name), -1); }
};

} // namespace

TEST(AutoTuneSettings, StoredDictionariesReadWithDefaultsForWhatIsMissingOrBroken)
{
    TempHome home;
    EXPECT_FALSE(AutoTuneSettings::loadCustom(home.settings()));

    // A partial record: stored fields narrowed to single precision, the rest the defaults.
    home.settings().setLastUsedSettings({{u("humanize"), 0.25}, {u("classicMode"), 0.7}});
    auto partial = AutoTuneSettings::loadLastUsed(home.settings());
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->humanize, 0.25f);
    EXPECT_TRUE(partial->classicMode);
    EXPECT_EQ(partial->retuneSpeed, 0.3f);
    EXPECT_EQ(partial->tracking, 0.494949f);
    EXPECT_EQ(partial->inputType, 0.25f);

    // A field that is not a number takes its default; the others are kept.
    {
        QSettings raw(home.settingsPath(), QSettings::IniFormat);
        raw.setValue(QStringLiteral("customAutoTuneSettings/wetDry"), QStringLiteral("loud"));
        raw.setValue(QStringLiteral("customAutoTuneSettings/throatLength"), 0.75);
        raw.setValue(QStringLiteral("customAutoTuneSettings/retuneSpeed"), QStringLiteral("nan"));
    }
    SettingsStore reread(home.settingsPath());
    const auto custom = AutoTuneSettings::loadCustom(reread);
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->wetDry, 1.0f);
    EXPECT_EQ(custom->throatLength, 0.75f);
    EXPECT_EQ(custom->retuneSpeed, 0.3f);

    // A round trip keeps every field.
    AutoTuneSettings s = auto_tune_presets::row("natural");
    s.classicMode = true;
    s.saveAsCustom(home.settings());
    EXPECT_EQ(AutoTuneSettings::loadCustom(home.settings()), s);
}

TEST(AutoTunePresets, TableLookupAndRecognition)
{
    TempHome home;
    EXPECT_EQ(auto_tune_presets::presetSettings(u("光"), home.settings()),
              auto_tune_presets::row("electric"));
    EXPECT_FALSE(auto_tune_presets::presetSettings(u("custom"), home.settings()));
    EXPECT_EQ(auto_tune_presets::row("default").retuneSpeed, 0.685552f);
    EXPECT_EQ(auto_tune_presets::row("natural").tracking, 49.0f / 99.0f);

    AutoTuneSettings common = auto_tune_presets::row("common");
    common.humanize = 0.1504f;
    EXPECT_EQ(auto_tune_presets::matchingPreset(common), u("common"));
    common.humanize = 0.151f;
    EXPECT_FALSE(auto_tune_presets::matchingPreset(common));
    common.humanize = 0.15f;
    common.classicMode = true;
    EXPECT_FALSE(auto_tune_presets::matchingPreset(common));

    EXPECT_EQ(auto_tune_presets::typeIndexFor(0.6), 2);
    EXPECT_EQ(auto_tune_presets::typeIndexFor(0.625), 3); // 2.5 rounds away from zero
    EXPECT_EQ(auto_tune_presets::typeIndexFor(1.7), 4);
    EXPECT_EQ(auto_tune_presets::typeIndexFor(-0.3), 0);
    EXPECT_EQ(auto_tune_presets::typeIndexFor(1e308), 4);
    EXPECT_FALSE(auto_tune_presets::typeIndexFor(std::numeric_limits<double>::quiet_NaN()));
}

TEST(TuningControls, ControlChangesReachThePluginAndTheLastUsedRecordOnlyWhenTheyChange)
{
    Panel p;
    p.controls.setFormant(0.4);
    EXPECT_EQ(p.sent("formant"), 0.0);
    p.controls.setVibratoAmplitude(0.8);
    EXPECT_EQ(p.sent("47"), static_cast<double>(0.8f));
    p.state.setTypeIndex(3);
    EXPECT_EQ(p.sent("inputType"), 0.75);
    EXPECT_TRUE(readAll(PluginIPC::file()).contains("inputType=0.7500\n"));

    const auto stored = AutoTuneSettings::loadLastUsed(p.home.settings());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->formantCorrection, 0.0f);
    EXPECT_EQ(stored->vibratoAmplitude, 0.8f);
    EXPECT_EQ(stored->inputType, 0.75f);

    // The state notifies on equal assignments: that is not a change.
    const auto seq = PluginIPC::lastSeq();
    p.state.setRetune(p.state.retune());
    p.state.setTypeIndex(3);
    p.controls.setHumanize(p.controls.humanize());
    EXPECT_EQ(PluginIPC::lastSeq(), seq);
}

TEST(TuningControls, PresetsApplyWithoutTheInputTypeAndAreRecognisedOrSavedAsCustom)
{
    Panel p;
    p.state.setTypeIndex(4);
    p.controls.tapPresetCard(u("natural"));
    EXPECT_EQ(p.state.preset(), u("natural"));
    EXPECT_EQ(p.state.typeIndex(), 4);
    EXPECT_EQ(p.controls.humanize(), static_cast<double>(0.5f));
    EXPECT_EQ(p.sent("retune"), static_cast<double>(0.3f));
    EXPECT_EQ(p.home.settings().lastUsedPreset(), u("natural"));

    // Tapping "我的" with nothing stored makes the controls the custom preset.
    p.controls.setHumanize(0.42);
    p.controls.tapPresetCard(u("custom"));
    EXPECT_EQ(p.state.preset(), u("custom"));
    EXPECT_TRUE(p.state.hasCustomPreset());
    EXPECT_EQ(AutoTuneSettings::loadCustom(p.home.settings())->humanize, 0.42f);

    // Settings equal to "common" within 0.0005 select it (the input type counts too).
    p.controls.tapPresetCard(u("common"));
    p.state.setTypeIndex(1);
    p.controls.setHumanize(0.1504);
    p.controls.selectPresetForCurrentSettings();
    EXPECT_EQ(p.state.preset(), u("common"));
    p.controls.setHumanize(0.151);
    p.controls.selectPresetForCurrentSettings();
    EXPECT_EQ(p.state.preset(), u("custom"));
    EXPECT_EQ(AutoTuneSettings::loadCustom(p.home.settings())->humanize, 0.151f);

    // Dragging the intensity ends in a custom preset too.
    p.controls.tapPresetCard(u("electric"));
    p.controls.beginIntensityDrag();
    p.state.setRetune(0.9);
    p.controls.endIntensityDrag();
    EXPECT_EQ(p.state.preset(), u("custom"));
    EXPECT_EQ(AutoTuneSettings::loadCustom(p.home.settings())->retuneSpeed, 0.9f);
}

TEST(TuningControls, StartUpRestoreLetsThePresetWinOverTheLastUsedSliders)
{
    Panel p;
    AutoTuneSettings last = auto_tune_presets::row("natural");
    last.humanize = 0.9f;
    last.inputType = 0.625f;
    last.saveAsLastUsed(p.home.settings());
    p.home.settings().setLastUsedTranspose(2);
    // "custom" is stored but no custom record exists: "default" stays.
    p.home.settings().setLastUsedPreset(u("custom"));

    p.controls.restoreHasCustomPreset();
    EXPECT_FALSE(p.state.hasCustomPreset());
    ASSERT_TRUE(p.controls.restoreLastUsed());
    EXPECT_EQ(p.state.typeIndex(), 3);
    EXPECT_EQ(p.state.transpose(), 2);
    p.controls.restoreSelectedPreset();
    EXPECT_EQ(p.state.preset(), u("default"));
    EXPECT_EQ(p.controls.humanize(), 0.0);
    EXPECT_EQ(p.state.retune(), static_cast<double>(0.685552f));
    EXPECT_EQ(p.state.typeIndex(), 3);
    EXPECT_EQ(p.sent("retune"), static_cast<double>(0.685552f));
}

TEST(TuningControls, ChangeSetsFromThePlugin)
{
    Panel p;
    p.controls.setHostParamsReady();
    p.state.setKeyText(u("F 大调"));
    // (A change set while the plug-in is away is dropped: the song end-to-end test.)
    p.pluginAlive();
    ASSERT_TRUE(p.syncer.connected());
    p.pluginWritesBack("scale=2\n");
    EXPECT_EQ(p.state.keyText(), u("F 小调"));
    EXPECT_EQ(p.state.keyDetail(), u("你说了算～"));
    EXPECT_EQ(p.sent("key"), 5);
    EXPECT_EQ(p.sent("scale"), 2);
    EXPECT_TRUE(p.state.keyManuallySet());

    p.state.setKeyText(u("F 大调"));
    p.pluginWritesBack("scale=5\n");
    EXPECT_EQ(p.state.keyText(), u("F 大调"));
    EXPECT_EQ(p.state.manualScaleIndex(), 5);
    EXPECT_EQ(p.state.keyDetail(), u("这个调式是你定的～"));
    EXPECT_EQ(p.sent("scale"), 5);

    // Slider values come in raw, the input type rounded; the result is recognised.
    p.pluginWritesBack("retune=1.0\nnaturalVibrato=0.2\n47=0.2\nvibratoAmplitude=0.2\ninputType=0.3\n");
    EXPECT_EQ(p.state.typeIndex(), 1);
    EXPECT_EQ(p.controls.naturalVibrato(), static_cast<double>(0.2f)); // the preset, applied again
    EXPECT_EQ(p.state.preset(), u("electric"));
    EXPECT_EQ(p.home.settings().lastUsedPreset(), u("electric"));
}

TEST(TuningControls, APluginThatComesBackGetsTheWholePresetAgain)
{
    Panel p;
    p.controls.tapPresetCard(u("natural"));
    p.syncer.ipc().clear();
    p.pluginAlive();
    ASSERT_TRUE(p.syncer.connected());
    for (const char* name : {"retune", "humanize", "flexTune", "naturalVibrato", "47", "tracking", "formant",
                             "throat", "wetDry", "correctionMode", "inputType"})
        EXPECT_TRUE(p.syncer.ipc().contains(QLatin1String(name))) << name;
    EXPECT_EQ(p.sent("humanize"), static_cast<double>(0.5f));
}
