#include "pluginlink/tuning_controls.h"

#include "core/app_state.h"
#include "core/key_notation.h"
#include "core/semitone.h"
#include "core/settings_store.h"
#include "pluginlink/auto_tune_presets.h"
#include "pluginlink/auto_tune_syncer.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

namespace {

constexpr double kInputTypeStep = 0.25;
// The plug-in's scale indices: 0 chromatic, 1 major, 2 minor, up to 14 of its own.
constexpr int kMaxScaleIndex = 14;

// A plug-in number rounded half away from zero, clamped first so that no value overflows.
std::optional<int> roundedEntry(const PluginIPC::ParamMap& map, const char* name, double low, double high)
{
    const auto it = map.constFind(QLatin1String(name));
    if (it == map.cend() || !std::isfinite(it.value()))
        return std::nullopt;
    return static_cast<int>(std::lround(std::clamp(it.value(), low, high)));
}

} // namespace

TuningControls::TuningControls(AppState& state, AutoTuneSyncer& syncer, SettingsStore& store, QObject* parent)
    : QObject(parent), m_state(state), m_syncer(syncer), m_store(store), m_seenRetune(state.retune()),
      m_seenTypeIndex(state.typeIndex()), m_seenPreset(state.preset()), m_seenConnected(syncer.connected())
{
    connect(&m_state, &AppState::retuneChanged, this, &TuningControls::onRetuneChanged);
    connect(&m_state, &AppState::typeIndexChanged, this, &TuningControls::onTypeIndexChanged);
    connect(&m_state, &AppState::presetChanged, this, &TuningControls::onPresetChanged);
    connect(&m_syncer, &AutoTuneSyncer::connectedChanged, this, &TuningControls::onConnectedChanged);
    connect(&m_syncer, &AutoTuneSyncer::hostParamsChanged, this, &TuningControls::onHostParamsChanged);
}

bool TuningControls::setSlider(double& field, double value, void (TuningControls::*notify)())
{
    if (field == value)
        return false;
    field = value;
    emit(this->*notify)();
    return true;
}

void TuningControls::setHumanize(double v)
{
    if (setSlider(m_humanize, v, &TuningControls::humanizeChanged))
        controlChanged("humanize", static_cast<float>(v));
}
void TuningControls::setVibratoAmplitude(double v)
{
    if (setSlider(m_vibratoAmplitude, v, &TuningControls::vibratoAmplitudeChanged))
        controlChanged("47", static_cast<float>(v));
}
void TuningControls::setFlexTune(double v)
{
    if (setSlider(m_flexTune, v, &TuningControls::flexTuneChanged))
        controlChanged("flexTune", static_cast<float>(v));
}
void TuningControls::setNaturalVibrato(double v)
{
    if (setSlider(m_naturalVibrato, v, &TuningControls::naturalVibratoChanged))
        controlChanged("naturalVibrato", static_cast<float>(v));
}
void TuningControls::setTracking(double v)
{
    if (setSlider(m_tracking, v, &TuningControls::trackingChanged))
        controlChanged("tracking", static_cast<float>(v));
}
void TuningControls::setFormant(double v)
{
    if (setSlider(m_formant, v, &TuningControls::formantChanged))
        controlChanged("formant", v >= 0.5 ? 1.0 : 0.0);
}
void TuningControls::setThroat(double v)
{
    if (setSlider(m_throat, v, &TuningControls::throatChanged))
        controlChanged("throat", static_cast<float>(v));
}
void TuningControls::setWetDry(double v)
{
    if (setSlider(m_wetDry, v, &TuningControls::wetDryChanged))
        controlChanged("wetDry", static_cast<float>(v));
}
void TuningControls::setClassicMode(bool on)
{
    if (m_classicMode == on)
        return;
    m_classicMode = on;
    emit classicModeChanged();
    controlChanged("classicMode", on ? 1.0 : 0.0);
}

void TuningControls::controlChanged(const char* entry, double value)
{
    m_syncer.setParameter(QLatin1String(entry), value);
    persistLastUsed();
}

void TuningControls::onRetuneChanged()
{
    if (m_state.retune() == m_seenRetune)
        return;
    m_seenRetune = m_state.retune();
    controlChanged("retune", static_cast<float>(m_seenRetune));
}

void TuningControls::onTypeIndexChanged()
{
    if (m_state.typeIndex() == m_seenTypeIndex)
        return;
    m_seenTypeIndex = m_state.typeIndex();
    controlChanged("inputType", m_seenTypeIndex * kInputTypeStep);
}

void TuningControls::onPresetChanged()
{
    if (m_state.preset() == m_seenPreset)
        return;
    m_seenPreset = m_state.preset();
    if (const auto record = presetSettings(m_seenPreset))
        applyPresetSettings(*record);
    m_store.setLastUsedPreset(m_seenPreset);
    persistLastUsed();
}

void TuningControls::onConnectedChanged()
{
    const bool connected = m_syncer.connected();
    const bool cameUp = connected && !m_seenConnected;
    m_seenConnected = connected;
    // A plug-in that appeared or came back gets the whole selected preset.
    if (cameUp) {
        if (const auto record = presetSettings(m_state.preset()))
            applyPresetSettings(*record);
    }
}

void TuningControls::onHostParamsChanged()
{
    if (!m_hostParamsReady || m_syncer.hostParams().isEmpty())
        return;
    // A copy: applying a preset on the way discards (replaces) the syncer's map.
    const PluginIPC::ParamMap map = m_syncer.hostParams();
    applyHostParamChanges(map);
}

AutoTuneSettings TuningControls::currentSettings() const
{
    AutoTuneSettings s;
    s.retuneSpeed = static_cast<float>(m_state.retune());
    s.humanize = static_cast<float>(m_humanize);
    s.flexTune = static_cast<float>(m_flexTune);
    s.naturalVibrato = static_cast<float>(m_naturalVibrato);
    s.vibratoAmplitude = static_cast<float>(m_vibratoAmplitude);
    s.tracking = static_cast<float>(m_tracking);
    s.formantCorrection = m_formant >= 0.5 ? 1.0f : 0.0f;
    s.throatLength = static_cast<float>(m_throat);
    s.wetDry = static_cast<float>(m_wetDry);
    s.correctionMode = 0.0f;
    s.inputType = static_cast<float>(m_state.typeIndex() * kInputTypeStep);
    s.classicMode = m_classicMode;
    return s;
}

std::optional<AutoTuneSettings> TuningControls::presetSettings(const QString& name) const
{
    return auto_tune_presets::presetSettings(name, m_store);
}

void TuningControls::applyPresetSettings(const AutoTuneSettings& record)
{
    m_syncer.discardPendingHostParams();
    m_syncer.apply(record);
    setClassicMode(record.classicMode);
    m_state.setRetune(record.retuneSpeed);
    setHumanize(record.humanize);
    setVibratoAmplitude(record.vibratoAmplitude);
    setFlexTune(record.flexTune);
    setNaturalVibrato(record.naturalVibrato);
    setTracking(record.tracking);
    setFormant(record.formantCorrection);
    setThroat(record.throatLength);
    setWetDry(record.wetDry);
}

void TuningControls::persistLastUsed()
{
    currentSettings().saveAsLastUsed(m_store);
    m_store.setLastUsedTranspose(m_state.transpose());
}

void TuningControls::saveCustomPreset()
{
    const AutoTuneSettings record = currentSettings();
    record.saveAsCustom(m_store);
    m_syncer.apply(record);
    m_state.setPreset(QString::fromLatin1(auto_tune_presets::kCustom));
    m_state.setHasCustomPreset(true);
}

void TuningControls::stashCustomFromCurrent()
{
    currentSettings().saveAsCustom(m_store);
    m_state.setHasCustomPreset(true);
    const QString custom = QString::fromLatin1(auto_tune_presets::kCustom);
    if (m_state.preset() != custom)
        m_state.setPreset(custom);
}

void TuningControls::selectPresetForCurrentSettings()
{
    const auto name = auto_tune_presets::matchingPreset(currentSettings());
    if (!name) {
        saveCustomPreset();
        return;
    }
    if (m_state.preset() != *name)
        m_state.setPreset(*name);
}

void TuningControls::beginIntensityDrag()
{
    m_intensityDragging = true;
    emit intensityDraggingChanged();
}

void TuningControls::endIntensityDrag()
{
    m_intensityDragging = false;
    emit intensityDraggingChanged();
    stashCustomFromCurrent();
}

void TuningControls::pickInputType(int index)
{
    m_state.setTypeIndex(std::clamp(index, 0, 4));
    stashCustomFromCurrent();
}

void TuningControls::tapPresetCard(const QString& name)
{
    if (name == QLatin1String(auto_tune_presets::kCustom)) {
        if (m_state.hasCustomPreset()) {
            m_state.setPreset(name);
            if (const auto record = presetSettings(name))
                applyPresetSettings(*record);
        } else {
            saveCustomPreset();
        }
        return;
    }
    m_state.setPreset(name);
    if (const auto record = presetSettings(name))
        applyPresetSettings(*record);
}

void TuningControls::restoreHasCustomPreset()
{
    m_state.setHasCustomPreset(AutoTuneSettings::loadCustom(m_store).has_value());
}

bool TuningControls::restoreLastUsed()
{
    const auto record = AutoTuneSettings::loadLastUsed(m_store);
    if (!record)
        return false;
    // First: every control change below stores the transposition with the record.
    m_state.setTranspose(m_store.lastUsedTranspose());
    m_state.setRetune(record->retuneSpeed);
    if (const auto index = auto_tune_presets::typeIndexFor(record->inputType))
        m_state.setTypeIndex(*index);
    setHumanize(record->humanize);
    setVibratoAmplitude(record->vibratoAmplitude);
    setFlexTune(record->flexTune);
    setNaturalVibrato(record->naturalVibrato);
    setTracking(record->tracking);
    setFormant(record->formantCorrection);
    setThroat(record->throatLength);
    setWetDry(record->wetDry);
    setClassicMode(record->classicMode);
    return true;
}

void TuningControls::restoreSelectedPreset()
{
    if (const auto stored = m_store.lastUsedPreset()) {
        if (*stored != QLatin1String(auto_tune_presets::kCustom) || m_state.hasCustomPreset())
            m_state.setPreset(*stored);
    }
    applyPresetSettings(presetSettings(m_state.preset()).value_or(auto_tune_presets::row("default")));
}

void TuningControls::setHostParamsReady()
{
    if (m_hostParamsReady)
        return;
    m_hostParamsReady = true;
    emit hostParamsReadyChanged();
}

void TuningControls::applyHostParamChanges(const PluginIPC::ParamMap& map)
{
    if (map.isEmpty() || !m_syncer.connected())
        return;
    const auto value = [&](const char* name) -> std::optional<double> {
        const auto it = map.constFind(QLatin1String(name));
        return it == map.cend() ? std::nullopt : std::optional(it.value());
    };
    if (const auto v = value("retune"))
        m_state.setRetune(*v);
    const std::pair<const char*, void (TuningControls::*)(double)> sliders[] = {
        {"humanize", &TuningControls::setHumanize},
        {"flexTune", &TuningControls::setFlexTune},
        {"naturalVibrato", &TuningControls::setNaturalVibrato},
        {"vibratoAmplitude", &TuningControls::setVibratoAmplitude},
        {"tracking", &TuningControls::setTracking},
        {"formant", &TuningControls::setFormant},
        {"throat", &TuningControls::setThroat},
        {"wetDry", &TuningControls::setWetDry},
    };
    for (const auto& [name, set] : sliders) {
        if (const auto v = value(name))
            (this->*set)(*v);
    }
    if (const auto v = value("classicMode"))
        setClassicMode(*v > 0.5);
    if (const auto v = value("inputType")) {
        if (const auto index = auto_tune_presets::typeIndexFor(*v))
            m_state.setTypeIndex(*index);
    }
    if (map.contains(QStringLiteral("key")) || map.contains(QStringLiteral("scale")))
        applyHostKeyScale(map);
    selectPresetForCurrentSettings();
}

void TuningControls::applyHostKeyScale(const PluginIPC::ParamMap& map)
{
    const QString keyText = m_state.keyText();
    QStringList words = keyText.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString firstWord = words.isEmpty() ? QStringLiteral("C") : words.first();
    const auto firstSemitone = key_notation::noteSemitone(firstWord);

    const int semitone =
        reduceSemitone(roundedEntry(map, "key", -1e6, 1e6).value_or(firstSemitone.value_or(0)));
    int scale = 0;
    if (const auto s = roundedEntry(map, "scale", 0, kMaxScaleIndex))
        scale = *s;
    else if (const auto manual = m_state.manualScaleIndex())
        scale = *manual;
    else
        scale = keyText.contains(QStringLiteral("小调")) ? 2 : 1;

    if (scale <= 2) {
        m_state.setManualScaleIndex(std::nullopt);
        static const char* const kModes[] = {"半音阶", "大调", "小调"};
        const QString text =
            key_notation::displayName(semitone) + QLatin1Char(' ') + QString::fromUtf8(kModes[scale]);
        if (text != keyText) {
            m_state.setKeyText(text);
            m_state.setKeyDetail(QStringLiteral("你说了算～"));
        }
    } else {
        m_state.setManualScaleIndex(scale);
        if (!firstSemitone || *firstSemitone != semitone) {
            if (words.isEmpty())
                words.append(QString());
            words.first() = key_notation::displayName(semitone);
            m_state.setKeyText(words.join(QLatin1Char(' ')));
        }
        m_state.setKeyDetail(QStringLiteral("这个调式是你定的～"));
    }
    m_syncer.setKeyScale(semitone, scale);
    m_state.setKeyManuallySet(true);
}
