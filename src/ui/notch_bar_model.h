#pragma once

#include <QRect>

// Where the island bar sits on one screen. No Linux display has a camera housing, so the
// bar always hangs from a virtual notch and expands into a floating island card.
//
// Every rectangle is in Qt's global, top-left, device-independent frame, over the screen's
// available area (a desktop panel at the top moves the island down). Pure; any thread.
enum class NotchPage { main, settings };

struct NotchBarModel {
    static constexpr int kVirtualMenuBarHeight = 32;
    static constexpr int kVirtualNotchWidth = 224;
    // What each page adds below the bar's own height.
    static constexpr int kMainPageContent = 176;
    static constexpr int kSettingsPageContent = 468;
    // The window keeps this much room below the card.
    static constexpr int kPanelSlack = 8;
    static constexpr int kStayMargin = 24;
    static constexpr int kHotZoneMinimumWidth = 160;
    static constexpr int kHotZoneExtraWidth = 60;
    static constexpr int kHotZoneExtraHeight = 12;

    QRect available;
    bool hasNotch = true;
    bool realNotch = false;
    int menuBarHeight = kVirtualMenuBarHeight;
    int notchWidth = kVirtualNotchWidth;
    int stemDrop = 0;
    int islandTopOffset = 3;
    int islandCardWidth = 560;
    int islandCardHeight = 400;
    int islandCardRadius = 36;

    // The model of a screen whose available area is `available`.
    static NotchBarModel forScreen(const QRect& available);

    static int contentHeightOf(NotchPage page);
    // `requested` capped at the screen width − 40 on screens at least 360 wide, else at 320.
    int panelWidth(int requested) const;
    // menuBarHeight + stemDrop: the height of the collapsed bar.
    int baseHeight() const { return menuBarHeight + stemDrop; }
    int expandedHeight(NotchPage page) const { return baseHeight() + contentHeightOf(page); }

    // The window: panelWidth(islandCardWidth) wide, `height` tall, centred under the top edge.
    QRect panelRect(int height) const;
    // The collapsed island: a notch-sized pill, islandTopOffset below the top.
    QRect pillRect() const;
    // The expanded island card of `page`.
    QRect cardRect(NotchPage page) const;
    // Where the pointer expands the collapsed bar.
    QRect hotZone() const;
    // Where the pointer keeps the expanded card open: the card grown on every side.
    QRect stayRect(NotchPage page) const;
};
