#include "ui/notch_bar_model.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kScreenMargin = 40;
constexpr int kMinimumPanelWidth = 320;

// A rectangle of `width` × `height` centred horizontally on `area`, `top` below its top.
QRect centredUnderTop(const QRect& area, int width, int height, int top)
{
    const int left = area.x() + (area.width() - width) / 2;
    return {left, area.y() + top, width, height};
}

} // namespace

NotchBarModel NotchBarModel::forScreen(const QRect& available)
{
    NotchBarModel model;
    model.available = available;
    return model;
}

int NotchBarModel::contentHeightOf(NotchPage page)
{
    switch (page) {
    case NotchPage::main:
        return kMainPageContent;
    case NotchPage::settings:
        return kSettingsPageContent;
    }
    return kMainPageContent;
}

int NotchBarModel::panelWidth(int requested) const
{
    const int screenWidth = available.width();
    const int cap =
        screenWidth >= kMinimumPanelWidth + kScreenMargin ? screenWidth - kScreenMargin : kMinimumPanelWidth;
    return int(std::lround(std::min<double>(requested, cap)));
}

QRect NotchBarModel::panelRect(int height) const
{
    return centredUnderTop(available, panelWidth(islandCardWidth), height, 0);
}

QRect NotchBarModel::pillRect() const
{
    return centredUnderTop(available, notchWidth, menuBarHeight, islandTopOffset);
}

QRect NotchBarModel::cardRect(NotchPage page) const
{
    return centredUnderTop(available, panelWidth(islandCardWidth), expandedHeight(page), islandTopOffset);
}

QRect NotchBarModel::hotZone() const
{
    const int width = std::max(notchWidth, kHotZoneMinimumWidth) + kHotZoneExtraWidth;
    return centredUnderTop(available, width, menuBarHeight + kHotZoneExtraHeight, 0);
}

QRect NotchBarModel::stayRect(NotchPage page) const
{
    return cardRect(page).adjusted(-kStayMargin, -kStayMargin, kStayMargin, kStayMargin);
}
