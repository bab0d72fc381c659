#include "ui/window_chrome.h"
#include "ui_window_fixture.h"

#include <xcb/xcb.h>

namespace {

using namespace ui_testing;

// What EWMH window managers do when a window is withdrawn.
void dropDesktopState(quint32 window)
{
    xcb_connection_t* c = platform::x11Connection();
    xcb_delete_property(c, window, platform::x11Atom("_NET_WM_DESKTOP"));
    xcb_delete_property(c, window, platform::x11Atom("_NET_WM_STATE"));
    xcb_flush(c);
}

TEST_F(UiWindowTest, MainPanelIsAboveOnEveryDesktopAfterEachShow)
{
    const auto panel = createWindow("Window { width: 240; height: 160; color: Theme.window }");
    ASSERT_TRUE(panel);
    attachWindowChrome(*panel, WindowRole::mainPanel);
    EXPECT_TRUE(panel->flags().testFlag(Qt::FramelessWindowHint));

    for (int showing = 0; showing < 2; ++showing) {
        SCOPED_TRACE(showing == 0 ? "first show" : "shown again");
        panel->show();
        ASSERT_TRUE(waitForMapped(*panel));
        EXPECT_TRUE(waitForCardinal(id(*panel), "_NET_WM_DESKTOP", platform::kAllDesktops));
        EXPECT_TRUE(waitForAtom(id(*panel), "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));
        EXPECT_FALSE(atomListProperty(id(*panel), "_NET_WM_STATE").contains("_NET_WM_STATE_SKIP_TASKBAR"));
        panel->hide();
        ASSERT_TRUE(waitUntil([&] { return !isViewable(id(*panel)); }));
        dropDesktopState(id(*panel));
    }
}

TEST_F(UiWindowTest, BarSkipsTaskbarAndTakesItsOutlineAsShapeWithoutCompositor)
{
    ASSERT_FALSE(compositorRunning()) << "the test display runs no compositor";
    const auto bar = createWindow("Window { width: 200; height: 100; color: \"transparent\" }");
    ASSERT_TRUE(bar);
    attachWindowChrome(*bar, WindowRole::bar);
    // A plus sign: the corners are transparent.
    const QRegion outline = QRegion(0, 20, 200, 60) + QRegion(20, 0, 160, 100);
    setVisibleOutline(*bar, outline);
    bar->show();
    ASSERT_TRUE(waitForMapped(*bar));

    EXPECT_TRUE(waitUntil([&] { return boundingShape(id(*bar)) == outline; }))
        << "shape is " << boundingShape(id(*bar)).rectCount();
    EXPECT_TRUE(waitForAtom(id(*bar), "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(waitForAtom(id(*bar), "_NET_WM_STATE", "_NET_WM_STATE_SKIP_PAGER"));
    EXPECT_TRUE(waitForCardinal(id(*bar), "_NET_WM_DESKTOP", platform::kAllDesktops));
}

TEST_F(UiWindowTest, PointerQueryFollowsXTestMovesAndHeldButtons)
{
    movePointer({123, 456});
    const auto moved = platform::queryPointer();
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->global_px, QPoint(123, 456));
    EXPECT_FALSE(moved->buttonHeld);

    pressButton(1);
    const auto held = platform::queryPointer();
    releaseButton(1);
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->buttonHeld);
    EXPECT_FALSE(platform::queryPointer()->buttonHeld);
}

} // namespace
