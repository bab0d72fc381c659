#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>

// Where a hover tip goes, in Qt's top-left, device-independent screen coordinates.
namespace hover_tip_placement {

inline constexpr qreal kMinWidth = 120;
inline constexpr qreal kMaxWidth = 340;
// The tip's top-left corner sits this far right of and below the pointer...
inline constexpr qreal kRightOfPointer = 16;
inline constexpr qreal kBelowPointer = 12;
// ...and its bottom edge at least this far above the available area's bottom.
inline constexpr qreal kBottomMargin = 12;

// The tip's width for a text that fits in `fittingWidth` on one line; a wider text wraps.
qreal tipWidth(qreal fittingWidth);

// The tip's frame for a pointer at `pointer` on a screen whose available area (without
// panels and docks) is `available`. `size.width()` is clamped as tipWidth(); the height is
// taken as it is (the caller lays the text out at the clamped width). A tip that would
// cross the right edge flips to the pointer's left; one that would cross the bottom margin
// moves up. It never leaves the available area's top-left corner.
QRectF place(const QPointF& pointer, const QSizeF& size, const QRectF& available);

} // namespace hover_tip_placement
