#include "pluginlink/auto_tune_settings.h"

#include "core/settings_store.h"

#include <cmath>

namespace {

struct Field {
    const char* name;
    float AutoTuneSettings::*member;
};

// The eleven numbers in record order; classicMode is handled beside them.
constexpr Field kFields[] = {
    {"retuneSpeed", &AutoTuneSettings::retuneSpeed},
    {"humanize", &AutoTuneSettings::humanize},
    {"flexTune", &AutoTuneSettings::flexTune},
    {"naturalVibrato", &AutoTuneSettings::naturalVibrato},
    {"vibratoAmplitude", &AutoTuneSettings::vibratoAmplitude},
    {"tracking", &AutoTuneSettings::tracking},
    {"formantCorrection", &AutoTuneSettings::formantCorrection},
    {"throatLength", &AutoTuneSettings::throatLength},
    {"wetDry", &AutoTuneSettings::wetDry},
    {"correctionMode", &AutoTuneSettings::correctionMode},
    {"inputType", &AutoTuneSettings::inputType},
};
constexpr char kClassicMode[] = "classicMode";

std::optional<double> finiteValue(const QMap<QString, double>& values, const char* name)
{
    const auto it = values.constFind(QLatin1String(name));
    if (it == values.cend() || !std::isfinite(it.value()))
        return std::nullopt;
    return it.value();
}

} // namespace

QMap<QString, double> AutoTuneSettings::toDictionary() const
{
    QMap<QString, double> out;
    for (const Field& f : kFields)
        out.insert(QLatin1String(f.name), static_cast<double>(this->*f.member));
    out.insert(QLatin1String(kClassicMode), classicMode ? 1.0 : 0.0);
    return out;
}

AutoTuneSettings AutoTuneSettings::fromDictionary(const QMap<QString, double>& values)
{
    AutoTuneSettings s;
    for (const Field& f : kFields) {
        if (const auto v = finiteValue(values, f.name))
            s.*f.member = static_cast<float>(*v);
    }
    if (const auto v = finiteValue(values, kClassicMode))
        s.classicMode = *v > 0.5;
    return s;
}

void AutoTuneSettings::saveAsCustom(SettingsStore& store) const
{
    store.setCustomAutoTuneSettings(toDictionary());
}

void AutoTuneSettings::saveAsLastUsed(SettingsStore& store) const
{
    store.setLastUsedSettings(toDictionary());
}

std::optional<AutoTuneSettings> AutoTuneSettings::loadCustom(const SettingsStore& store)
{
    const auto values = store.customAutoTuneSettings();
    return values ? std::optional(fromDictionary(*values)) : std::nullopt;
}

std::optional<AutoTuneSettings> AutoTuneSettings::loadLastUsed(const SettingsStore& store)
{
    const auto values = store.lastUsedSettings();
    return values ? std::optional(fromDictionary(*values)) : std::nullopt;
}
