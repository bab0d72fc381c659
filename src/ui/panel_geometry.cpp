#include "ui/panel_geometry.h"

#include <algorithm>
#include <cmath>

namespace panel_geometry {

int fittedHeight(double contentHeight, std::optional<int> visibleHeight)
{
    const int wanted = std::max(kMinHeight, static_cast<int>(std::ceil(contentHeight)) + 4);
    const int cap = visibleHeight ? *visibleHeight - kScreenMargin : kFallbackMaxHeight;
    return std::min(wanted, cap);
}

bool needsResize(double currentHeight, int targetHeight)
{
    return std::abs(currentHeight - targetHeight) > 1.0;
}

} // namespace panel_geometry
