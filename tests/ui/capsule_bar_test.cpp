// The capsule bar on the test display under the real pointer.
#include "core/settings_store.h"
#include "desktop_test.h"
#include "pluginlink/tuning_controls.h"
#include "ui/capsule_bar_controller.h"
#include "ui/capsule_layout.h"
#include "ui/floating_bar_window_controller.h"

#include <cmath>

namespace {

namespace layout = capsule_layout;

class CapsuleBarTest : public DesktopTest {
protected:
    void SetUp() override
    {
        DesktopTest::SetUp();
        home.settings().setFloatingBarStyle(QStringLiteral("capsule"));
        startDesktop();
        ASSERT_NE(desktop->floatingBar().capsuleWindow(), nullptr);
        ASSERT_TRUE(waitForMapped(bar()));
    }
    QQuickWindow& bar() { return *desktop->floatingBar().capsuleWindow(); }
    CapsuleBarController& capsule() { return desktop->capsuleBar(); }
    // A point on the screen, in bar coordinates, at the buttons' height.
    QPoint onScreen(double x)
    {
        return windowGeometry(id(bar())).topLeft() +
               QPoint(int(std::lround(x)), layout::kBarHeight - 10 - 24);
    }
};

// Its texts, the magnified button read back; then the pointer comes from beside the bar
// straight to where a button rests and clicks: that button acts, without taking the focus,
// with and without the custom preset.
TEST_F(CapsuleBarTest, AClickWhereAButtonRestsIsThatButtonsAndLeavesTheFocus)
{
    showSong("B 大调");
    EXPECT_EQ(visibleTextStrings(bar().contentItem()),
              QStringList{run->state().displayKey()} + texts("周杰伦 - 晴天|默认|电音|自然|常用|降|升|展开"));
    // The pointer over "自然": it is drawn largest, under the pointer.
    capsule().setPointer(layout::restingCentre(2));
    EXPECT_DOUBLE_EQ(capsule().scales()[2], 1.8);
    EXPECT_EQ(capsule().hoveredIndex(), 2);
    EXPECT_EQ(screenshot(bar(), u("capsule_bar"), texts("自然|常用")), texts("自然|常用"));
    // Set by hand, not by the pointer: no leave event would take it away.
    capsule().clearPointer();

    desktop->showMainPanel();
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == id(*desktop->mainPanel()); }));
    for (const bool custom : {false, true}) {
        if (custom)
            run->tuning().saveCustomPreset();
        ASSERT_EQ(capsule().buttons().size(), custom ? 8u : 7u);
        for (int i = 0; i < int(capsule().buttons().size()); ++i) {
            using enum layout::Action;
            const layout::Action action = capsule().buttons()[size_t(i)].action;
            SCOPED_TRACE(capsule().buttons()[size_t(i)].label.toStdString());
            run->state().setPreset(QString());
            const int transpose = run->settings().lastUsedTranspose() + (action == up) - (action == down);
            const bool panelShown = desktop->mainPanel()->isVisible();

            movePointer(onScreen(-60));
            ASSERT_TRUE(waitUntil([&] { return capsule().scales()[0] == 1.0; }));
            click(onScreen(layout::restingCentre(i)));
            EXPECT_TRUE(waitUntil([&] {
                if (action == expand)
                    return desktop->mainPanel()->isVisible() != panelShown;
                if (action == up || action == down)
                    return run->settings().lastUsedTranspose() == transpose;
                return run->state().preset() == layout::presetName(action);
            })) << run->state().preset().toStdString();
            EXPECT_NE(activeWindow(), id(bar()));
        }
    }

    // Choosing the island hides the capsule (kept for later) and the panel.
    desktop->showMainPanel();
    run->state().setFloatingBarStyleRaw(QStringLiteral("notch"));
    EXPECT_FALSE(bar().isVisible());
    EXPECT_FALSE(desktop->mainPanel()->isVisible());
    run->state().setFloatingBarStyleRaw(QStringLiteral("capsule"));
    EXPECT_TRUE(bar().isVisible());
}

} // namespace
