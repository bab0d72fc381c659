#pragma once

#include <QString>
#include <array>
#include <optional>

class SettingsStore;

// Which floating bar is shown: the capsule or the bar hanging from the notch.
enum class FloatingBarStyle { capsule, notch };

inline constexpr std::array<FloatingBarStyle, 2> kAllFloatingBarStyles = {FloatingBarStyle::capsule,
                                                                          FloatingBarStyle::notch};

QString rawValue(FloatingBarStyle style);
// Any text other than the two raw values yields nothing (case-sensitive).
std::optional<FloatingBarStyle> floatingBarStyleFromRaw(const QString& raw);
// The stored style; absent or unknown stored texts give notch.
FloatingBarStyle initialFloatingBarStyle(const SettingsStore& settings);
