#pragma once

#include "pluginlink/auto_tune_settings.h"

#include <QString>
#include <array>
#include <optional>

class SettingsStore;

// The built-in presets and how a record is recognised as one of them.
//
// Thread safety: pure, except presetSettings("custom"), which reads the store (main thread).
namespace auto_tune_presets {

inline constexpr char kCustom[] = "custom";

struct Preset {
    const char* name;  // identifier stored under "lastUsedPreset"
    const char* label; // the card's label
    AutoTuneSettings settings;
};

// "default", "electric", "natural", "common", in this order.
const std::array<Preset, 4>& table();
const AutoTuneSettings& row(const char* name);

// "natural", "common", "default": their rows; "custom": the stored record, if any; any
// other name: "electric".
std::optional<AutoTuneSettings> presetSettings(const QString& name, const SettingsStore& store);

// Two records are the same preset when each of the eleven numbers differs by at most
// 0.0005 and classic mode is equal.
bool matches(const AutoTuneSettings& a, const AutoTuneSettings& b);
// The first row of the table that `s` matches.
std::optional<QString> matchingPreset(const AutoTuneSettings& s);

// The input-type chip for a plug-in or stored value: value × 4 rounded (halves away from
// zero) and clamped to 0..4; nothing for a value that is not a number.
std::optional<int> typeIndexFor(double inputType);

} // namespace auto_tune_presets
