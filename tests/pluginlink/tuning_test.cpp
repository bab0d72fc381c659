#include "core/app_state.h"
#include "core/settings_store.h"
#include "pluginlink/auto_tune_presets.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "pluginlink/tuning_controls.h"
#include "support/temp_home.h"
#include "support/text.h"

#include <QSettings>
#include <gtest/gtest.h>
#include <limits>

namespace {

// The state, the syncer and the controls over a temporary home.
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
    float custom(float AutoTuneSettings::*field)
    {
        return AutoTuneSettings::loadCustom(home.settings()).value().*field;
    }
};

} // namespace

// A field that is missing, not a number or not finite takes its default; the others are kept.
TEST(AutoTuneSettings, StoredDictionariesReadWithDefaultsForWhatIsMissingOrBroken)
{
    TempHome home;
    EXPECT_FALSE(AutoTuneSettings::loadCustom(home.settings()));
    {
        QSettings raw(home.settingsPath(), QSettings::IniFormat);
        raw.setValue(QStringLiteral("customAutoTuneSettings/wetDry"), QStringLiteral("loud"));
        raw.setValue(QStringLiteral("customAutoTuneSettings/throatLength"), 0.75);
        raw.setValue(QStringLiteral("customAutoTuneSettings/retuneSpeed"), QStringLiteral("nan"));
        raw.setValue(QStringLiteral("customAutoTuneSettings/classicMode"), 0.7);
    }
    const auto custom = AutoTuneSettings::loadCustom(SettingsStore(home.settingsPath()));
    ASSERT_TRUE(custom);
    AutoTuneSettings expected;
    expected.throatLength = 0.75f;
    expected.classicMode = true;
    EXPECT_EQ(*custom, expected);
}

TEST(AutoTunePresets, LookupRecognitionAndInputTypeChips)
{
    TempHome home;
    EXPECT_EQ(auto_tune_presets::presetSettings(u("光"), home.settings()),
              auto_tune_presets::row("electric"));
    EXPECT_FALSE(auto_tune_presets::presetSettings(u("custom"), home.settings()));

    AutoTuneSettings common = auto_tune_presets::row("common");
    common.classicMode = true;
    EXPECT_FALSE(auto_tune_presets::matchingPreset(common));

    const std::pair<double, std::optional<int>> chips[] = {
        {0.6, 2},  {0.625, 3}, {1.7, 4},
        {-0.3, 0}, {1e308, 4}, {std::numeric_limits<double>::quiet_NaN(), {}}};
    for (const auto& [value, index] : chips)
        EXPECT_EQ(auto_tune_presets::typeIndexFor(value), index) << value;
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
    const auto stored = AutoTuneSettings::loadLastUsed(p.home.settings());
    ASSERT_TRUE(stored);
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
    EXPECT_EQ(p.state.typeIndex(), 4);
    EXPECT_EQ(p.sent("humanize"), static_cast<double>(auto_tune_presets::row("natural").humanize));
    EXPECT_EQ(p.home.settings().lastUsedPreset(), u("natural"));

    // Tapping "我的" with nothing stored makes the controls the custom preset.
    p.controls.setHumanize(0.42);
    p.controls.tapPresetCard(u("custom"));
    EXPECT_EQ(p.state.preset(), u("custom"));
    EXPECT_TRUE(p.state.hasCustomPreset());
    EXPECT_EQ(p.custom(&AutoTuneSettings::humanize), 0.42f);

    // Settings equal to "common" within 0.0005 select it (the input type counts too).
    p.controls.tapPresetCard(u("common"));
    p.state.setTypeIndex(1);
    p.controls.setHumanize(0.1504);
    p.controls.selectPresetForCurrentSettings();
    EXPECT_EQ(p.state.preset(), u("common"));
    p.controls.setHumanize(0.151);
    p.controls.selectPresetForCurrentSettings();
    EXPECT_EQ(p.state.preset(), u("custom"));
    EXPECT_EQ(p.custom(&AutoTuneSettings::humanize), 0.151f);

    // Dragging the intensity ends in a custom preset too.
    p.controls.tapPresetCard(u("electric"));
    p.controls.beginIntensityDrag();
    p.state.setRetune(0.9);
    p.controls.endIntensityDrag();
    EXPECT_EQ(p.state.preset(), u("custom"));
    EXPECT_EQ(p.custom(&AutoTuneSettings::retuneSpeed), 0.9f);
}

// The restore sets the stored transposition before any control change can store over it.
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
    EXPECT_EQ(p.home.settings().lastUsedTranspose(), 2);
    p.controls.restoreSelectedPreset();
    EXPECT_EQ(p.state.preset(), u("default"));
    EXPECT_EQ(p.controls.humanize(), static_cast<double>(auto_tune_presets::row("default").humanize));
    EXPECT_EQ(p.state.typeIndex(), 3);
    EXPECT_EQ(p.sent("retune"), static_cast<double>(auto_tune_presets::row("default").retuneSpeed));
}

TEST(TuningControls, ChangeSetsFromThePlugin)
{
    Panel p;
    p.controls.setHostParamsReady();
    p.state.setKeyText(u("F 大调"));
    p.pluginAlive();
    ASSERT_TRUE(p.syncer.connected());
    p.pluginWritesBack("scale=2\n");
    EXPECT_EQ(p.state.keyText(), u("F 小调"));
    EXPECT_EQ(p.state.keyDetail(), u("你说了算～"));
    EXPECT_EQ(p.sent("key"), 5);
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
    EXPECT_EQ(p.state.preset(), u("electric"));
    EXPECT_EQ(p.home.settings().lastUsedPreset(), u("electric"));
}

// A change set the plug-in leaves while it is away (its alive file stale) is dropped, and stays
// dropped once it comes back.
TEST(TuningControls, AChangeSetFromAPluginThatIsAwayIsDropped)
{
    Panel p;
    p.controls.setHostParamsReady();
    p.pluginAlive();
    p.pluginWritesBack("retune=0.2\n");
    EXPECT_FLOAT_EQ(p.state.retune(), 0.2);
    ASSERT_TRUE(setAge(p.home.linkDir() + QStringLiteral("/rigbox_alive.txt"), 10.0));
    p.syncer.poll();
    ASSERT_FALSE(p.syncer.connected());
    p.pluginWritesBack("retune=0.9\n");
    EXPECT_FLOAT_EQ(p.state.retune(), 0.2);
    p.pluginAlive();
    p.syncer.poll();
    EXPECT_TRUE(p.syncer.connected());
    EXPECT_NE(p.state.retune(), 0.9);
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
}
