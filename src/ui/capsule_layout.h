#pragma once

#include <QColor>
#include <QString>
#include <optional>
#include <vector>

// The capsule bar's buttons and its Dock-like magnification, in device-independent pixels
// from the bar's left edge. Pure functions.
namespace capsule_layout {

inline constexpr int kBarWidth = 624;
inline constexpr int kBarHeight = 100;
// A button's resting width, the gap between two buttons, the song-and-key text area before
// them and the margin after it: eight buttons at their largest still fit the bar.
inline constexpr double kBaseW = 40;
inline constexpr double kButtonGap = 6;
inline constexpr double kTextWidth = 140;
inline constexpr double kLeadIn = 36;
// 1 + 0.8 · exp(−d² / (2 · 48²))
inline constexpr double kMaxGrowth = 0.8;
inline constexpr double kSpread = 4608;

// What a button does.
enum class Action {
    presetDefault,
    presetElectric,
    presetNatural,
    presetCommon,
    presetCustom,
    down,
    up,
    expand
};

struct Button {
    QString icon; // our SVG's name
    QString label;
    QColor accent;
    Action action;
    QString tip; // what the hover tip says
};

// The buttons in order; "我的" only with a custom preset, which shifts the later ones by one.
std::vector<Button> buttons(bool hasCustomPreset);
// The preset name a preset action applies; empty for the others.
QString presetName(Action action);

// Button i's centre at rest.
double restingCentre(int index);
// Each button's scale for a pointer at `mouseX` (none: every scale is 1).
std::vector<double> scales(std::optional<double> mouseX, int count);

// Each button's drawn centre, laid out around the pointer as a Dock does: the point of the
// resting row under the pointer stays under it (a button at the same fraction of its scaled
// width, a gap as a gap), earlier buttons move left and later ones right. A pointer beside
// the row keeps the row's near end where it rests. Without a pointer, the resting centres.
std::vector<double> drawnCentres(std::optional<double> mouseX, const std::vector<double>& scales);
// The drawn button under `x` (within its scaled width), or none.
std::optional<int> buttonAt(double x, const std::vector<double>& centres, const std::vector<double>& scales);

} // namespace capsule_layout
