#include "pluginlink/auto_tune_presets.h"

#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace auto_tune_presets {

namespace {

constexpr float kTracking = 49.0f / 99.0f;

constexpr AutoTuneSettings make(float retune, float humanize, float flexTune, float naturalVibrato,
                                float vibratoAmplitude)
{
    return AutoTuneSettings{retune,    humanize, flexTune, naturalVibrato, vibratoAmplitude,
                            kTracking, 1.0f,     0.5f,     1.0f,           0.0f,
                            0.25f,     false};
}

bool near(float a, float b)
{
    return std::fabs(static_cast<double>(a) - static_cast<double>(b)) <= 0.0005;
}

} // namespace

const std::array<Preset, 4>& table()
{
    static const std::array<Preset, 4> presets = {{
        {"default", "默认", make(0.685552f, 0.0f, 0.0f, 0.5f, 0.333333f)},
        {"electric", "电音", make(1.0f, 0.0f, 0.0f, 0.2f, 0.2f)},
        {"natural", "自然", make(0.3f, 0.5f, 0.5f, 0.7f, 0.366667f)},
        {"common", "常用", make(0.686f, 0.15f, 0.15f, 0.5f, 0.3f)},
    }};
    return presets;
}

const AutoTuneSettings& row(const char* name)
{
    for (const Preset& p : table()) {
        if (std::strcmp(p.name, name) == 0)
            return p.settings;
    }
    return table()[1].settings;
}

std::optional<AutoTuneSettings> presetSettings(const QString& name, const SettingsStore& store)
{
    if (name == QLatin1String(kCustom))
        return AutoTuneSettings::loadCustom(store);
    for (const char* known : {"natural", "common", "default"}) {
        if (name == QLatin1String(known))
            return row(known);
    }
    return row("electric");
}

bool matches(const AutoTuneSettings& a, const AutoTuneSettings& b)
{
    return near(a.retuneSpeed, b.retuneSpeed) && near(a.humanize, b.humanize) &&
           near(a.flexTune, b.flexTune) && near(a.naturalVibrato, b.naturalVibrato) &&
           near(a.vibratoAmplitude, b.vibratoAmplitude) && near(a.tracking, b.tracking) &&
           near(a.formantCorrection, b.formantCorrection) && near(a.throatLength, b.throatLength) &&
           near(a.wetDry, b.wetDry) && near(a.correctionMode, b.correctionMode) &&
           near(a.inputType, b.inputType) && a.classicMode == b.classicMode;
}

std::optional<QString> matchingPreset(const AutoTuneSettings& s)
{
    for (const Preset& p : table()) {
        if (matches(s, p.settings))
            return QString::fromLatin1(p.name);
    }
    return std::nullopt;
}

std::optional<int> typeIndexFor(double inputType)
{
    if (!std::isfinite(inputType))
        return std::nullopt;
    // Clamped before rounding so that a huge value cannot overflow the conversion.
    const double scaled = std::clamp(inputType * 4.0, -1.0, 5.0);
    return std::clamp(static_cast<int>(std::lround(scaled)), 0, 4);
}

} // namespace auto_tune_presets
