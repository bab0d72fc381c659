// Our windows on the X11 desktop: each role's state and focus, hover tips (placed and wrapped
// by the rules' own test).
#include "desktop_test.h"
#include "ui/hover_tip.h"
#include "ui/window_chrome.h"

#include <QRasterWindow>
#include <xcb/xcb.h>

namespace {

// What EWMH window managers do when a window is withdrawn.
void dropDesktopState(quint32 window)
{
    xcb_connection_t* c = platform::x11Connection();
    xcb_delete_property(c, window, platform::x11Atom("_NET_WM_DESKTOP"));
    xcb_delete_property(c, window, platform::x11Atom("_NET_WM_STATE"));
    xcb_flush(c);
}

TEST_F(DesktopTest, EachRoleIsAboveOnEveryDesktopAfterEachShowAndOnlyConsentTakesTheFocus)
{
    const struct {
        WindowRole role;
        const char* name;
        bool outOfTaskbar;
    } cases[] = {{WindowRole::consent, "consent", false},
                 {WindowRole::mainPanel, "panel", false},
                 {WindowRole::bar, "bar", true},
                 {WindowRole::tip, "tip", true}};
    std::vector<std::unique_ptr<QRasterWindow>> windows;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QRasterWindow& window = *windows.emplace_back(std::make_unique<QRasterWindow>());
        window.resize(240, 160);
        attachWindowChrome(window, c.role);
        for (const bool again : {false, true}) {
            window.show();
            ASSERT_TRUE(waitForMapped(window));
            EXPECT_TRUE(waitUntil(
                [&] { return cardinalProperty(id(window), "_NET_WM_DESKTOP") == platform::kAllDesktops; }));
            EXPECT_TRUE(waitUntil([&] {
                return atomListProperty(id(window), "_NET_WM_STATE").contains("_NET_WM_STATE_ABOVE");
            }));
            const QByteArrayList states = atomListProperty(id(window), "_NET_WM_STATE");
            EXPECT_EQ(states.contains("_NET_WM_STATE_SKIP_TASKBAR"), c.outOfTaskbar);
            EXPECT_EQ(states.contains("_NET_WM_STATE_SKIP_PAGER"), c.outOfTaskbar);
            EXPECT_TRUE(waitUntil([&] { return activeWindow() == id(*windows.front()); }));
            if (again)
                break;
            window.hide();
            ASSERT_TRUE(waitUntil([&] { return !isViewable(id(window)); }));
            dropDesktopState(id(window));
        }
    }
}

class ClickCounter : public QRasterWindow {
public:
    int clicks = 0;

protected:
    void mouseReleaseEvent(QMouseEvent*) override { ++clicks; }
};

TEST_F(DesktopTest, HoverTipShowsBesideThePointerWrapsAndLetsClicksThrough)
{
    startDesktop();
    HoverTip& tip = desktop->hoverTip();
    const auto shown = [&] {
        return waitUntil([&] { return tip.isShown(); }) && waitForMapped(*tip.window());
    };
    // The card where the X server has it (Qt's idea of a window's position can lag behind
    // the window manager): the window less its shadow margin.
    const auto card = [&] {
        const int margin = tip.window()->property("shadowMargin").toInt();
        return windowGeometry(id(*tip.window())).adjusted(margin, margin, -margin, -margin);
    };
    tip.schedule(u("降"));
    tip.hide();
    EXPECT_FALSE(waitUntil([&] { return tip.isShown(); }, HoverTip::kDelay * 3)) << "hide cancels it";
    const QString text = u("固定，不自动收起");
    movePointer({600, 500});
    tip.schedule(text);
    EXPECT_FALSE(tip.isShown()) << "shown only after the delay";
    ASSERT_TRUE(shown());
    EXPECT_EQ(card().topLeft(), QPoint(616, 512));

    // Clicks go through the card to the window below, even an always-on-top one.
    ClickCounter below;
    attachWindowChrome(below, WindowRole::mainPanel);
    below.setGeometry(0, 0, 900, 700);
    below.show();
    ASSERT_TRUE(waitForMapped(below));
    click({100, 100});
    ASSERT_TRUE(waitUntil([&] { return below.clicks == 1; })) << "clicks reach it where no tip is";
    movePointer({300, 300});
    tip.schedule(u("展开"));
    ASSERT_TRUE(shown());
    const QPoint onTheCard = card().center();
    ASSERT_TRUE(windowGeometry(id(below)).contains(onTheCard));
    EXPECT_GT(stackingPosition(id(*tip.window())), stackingPosition(id(below)));
    click(onTheCard);
    EXPECT_TRUE(waitUntil([&] { return below.clicks == 2; }));
}

} // namespace
