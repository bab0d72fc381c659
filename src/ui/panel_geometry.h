#pragma once

#include <optional>

// The main panel's size rules, in device-independent pixels.
namespace panel_geometry {

inline constexpr int kWidth = 420;
inline constexpr int kInitialHeight = 720;
inline constexpr int kMinHeight = 560;
// Room left above and below the panel on the screen that shows it.
inline constexpr int kScreenMargin = 120;
// The cap when no screen is known.
inline constexpr int kFallbackMaxHeight = 780;

// max(560, content + 4), capped at the visible height − 120 (780 without a screen).
int fittedHeight(double contentHeight, std::optional<int> visibleHeight);
// A change of one pixel or less is not worth a resize (it would feed back into the layout).
bool needsResize(double currentHeight, int targetHeight);

} // namespace panel_geometry
