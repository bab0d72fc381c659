#include "ui/hover_tip_placement.h"

#include <algorithm>

namespace hover_tip_placement {

qreal tipWidth(qreal fittingWidth)
{
    return std::clamp(fittingWidth, kMinWidth, kMaxWidth);
}

QRectF place(const QPointF& pointer, const QSizeF& size, const QRectF& available)
{
    const qreal width = tipWidth(size.width());
    const qreal height = size.height();
    qreal x = pointer.x() + kRightOfPointer;
    if (x + width > available.right())
        x = pointer.x() - width - kRightOfPointer;
    qreal y = pointer.y() + kBelowPointer;
    y = std::min(y, available.bottom() - kBottomMargin - height);
    // A pointer near the left or top of a small screen could push the tip out of it.
    x = std::max(x, available.left());
    y = std::max(y, available.top());
    return {x, y, width, height};
}

} // namespace hover_tip_placement
