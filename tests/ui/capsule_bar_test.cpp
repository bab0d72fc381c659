// The capsule bar: its buttons and magnification by number, and the real bar on the test
// display under the real pointer.
#include "app/app_run.h"
#include "app/song_tracker.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "pluginlink/tuning_controls.h"
#include "still_desktop.h"
#include "support/run_task.h"
#include "support/temp_home.h"
#include "support/ui_testing.h"
#include "ui/capsule_bar_controller.h"
#include "ui/capsule_layout.h"
#include "ui/desktop_ui.h"
#include "ui/floating_bar_window_controller.h"

#include <QQuickWindow>
#include <cmath>
#include <gtest/gtest.h>

using namespace ui_testing;
namespace layout = capsule_layout;

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

QStringList labels(const std::vector<layout::Button>& buttons)
{
    QStringList list;
    for (const auto& b : buttons)
        list.append(b.label);
    return list;
}

} // namespace

TEST(CapsuleRules, SevenButtonsOrEightWithTheCustomPreset)
{
    EXPECT_EQ(labels(layout::buttons(false)),
              (QStringList{u("默认"), u("电音"), u("自然"), u("常用"), u("降"), u("升"), u("展开")}));
    EXPECT_EQ(labels(layout::buttons(true)), (QStringList{u("默认"), u("电音"), u("自然"), u("常用"),
                                                          u("我的"), u("降"), u("升"), u("展开")}));
    EXPECT_EQ(layout::buttons(false)[4].action, layout::Action::down);
    EXPECT_EQ(layout::buttons(true)[0].accent, QColor::fromRgbF(0.72f, 0.72f, 0.78f));
}

TEST(CapsuleRules, TheButtonUnderThePointerStaysUnderItAndTheRowFitsTheBar)
{
    for (const int count : {7, 8}) {
        SCOPED_TRACE(count);
        const auto rest = layout::drawnCentres(std::nullopt, layout::scales(std::nullopt, count));
        for (int i = 0; i < count; ++i)
            EXPECT_DOUBLE_EQ(rest[size_t(i)], layout::restingCentre(i));

        // Every pointer position over the bar, in quarter points.
        for (double x = 0; x <= layout::kBarWidth; x += 0.25) {
            const auto s = layout::scales(x, count);
            const auto c = layout::drawnCentres(x, s);
            const auto left = [&](int i) { return c[size_t(i)] - layout::kBaseW * s[size_t(i)] / 2; };
            const auto right = [&](int i) { return c[size_t(i)] + layout::kBaseW * s[size_t(i)] / 2; };
            std::optional<int> restingUnder;
            for (int i = 0; i < count; ++i) {
                const double off = x - layout::restingCentre(i);
                if (std::abs(off) < layout::kBaseW / 2)
                    restingUnder = i;
                // Wholly on one side of the pointer at rest: moved away from it, or stayed.
                const double moved = c[size_t(i)] - layout::restingCentre(i);
                EXPECT_TRUE(off < layout::kBaseW / 2 || moved <= 1e-9) << x << " " << i;
                EXPECT_TRUE(off > -layout::kBaseW / 2 || moved >= -1e-9) << x << " " << i;
                if (i > 0) {
                    EXPECT_NEAR(left(i) - right(i - 1), layout::kButtonGap, 1e-9) << x;
                }
            }
            EXPECT_EQ(restingUnder ? layout::buttonAt(x, c, s) : restingUnder, restingUnder) << x;
            EXPECT_GE(left(0), 0) << x;
            EXPECT_LE(right(count - 1), layout::kBarWidth) << x;
        }

        // On a resting centre that button is drawn there at its largest.
        for (int i = 0; i < count; ++i) {
            const double x = layout::restingCentre(i);
            const auto s = layout::scales(x, count);
            EXPECT_DOUBLE_EQ(s[size_t(i)], 1.8);
            EXPECT_NEAR(layout::drawnCentres(x, s)[size_t(i)], x, 1e-9);
        }
    }
    // The curve one resting step away: 1 + 0.8 · exp(−46² / 4608).
    EXPECT_NEAR(layout::scales(layout::restingCentre(3), 8)[4], 1.50543, 1e-5);
}

class CapsuleBarTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useSoftwareRendering(); }
    void SetUp() override
    {
        home.settings().setFloatingBarStyle(QStringLiteral("capsule"));
        startStillDesktop(home, run, desktop);
        ASSERT_NE(desktop->floatingBar().capsuleWindow(), nullptr);
        ASSERT_TRUE(waitForMapped(bar()));
    }
    void TearDown() override { stopDesktop(run, desktop); }
    QQuickWindow& bar() { return *desktop->floatingBar().capsuleWindow(); }
    CapsuleBarController& capsule() { return desktop->capsuleBar(); }
    // A point on the screen, in bar coordinates, at the buttons' height.
    QPoint onScreen(double x)
    {
        return windowGeometry(quint32(bar().winId())).topLeft() +
               QPoint(int(std::lround(x)), layout::kBarHeight - 10 - 24);
    }

    TempHome home;
    std::unique_ptr<AppRun> run;
    std::unique_ptr<DesktopUi> desktop;
};

TEST_F(CapsuleBarTest, TextsScreenshotAndWindowState)
{
    run->state().setCurrent(Song{u("晴天"), u("周杰伦")});
    run->state().setKeyText(u("B 大调"));
    const QStringList texts = visibleTextStrings(bar().contentItem());
    EXPECT_EQ(texts, (QStringList{run->state().displayKey(), u("周杰伦 - 晴天"), u("默认"), u("电音"),
                                  u("自然"), u("常用"), u("降"), u("升"), u("展开")}))
        << texts.join(u("|")).toStdString();

    const auto id = quint32(bar().winId());
    EXPECT_TRUE(waitForCardinal(id, "_NET_WM_DESKTOP", 0xFFFFFFFF));
    EXPECT_TRUE(waitForAtom(id, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));
    EXPECT_TRUE(waitForAtom(id, "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR"));

    // The pointer over "自然": it is drawn largest, under the pointer.
    capsule().setPointer(layout::restingCentre(2));
    EXPECT_DOUBLE_EQ(capsule().scales()[2], 1.8);
    EXPECT_EQ(capsule().hoveredIndex(), 2);
    ASSERT_TRUE(waitForSettledTexts(bar()));
    const QImage shot = grabAt2x(bar());
    ASSERT_FALSE(saveScreenshot(shot, QStringLiteral(TONIVOX_SCREENSHOT_DIR), QStringLiteral("capsule_bar"))
                     .isEmpty());
    const QList<TextItem> items = visibleTexts(bar().contentItem());
    const QStringList read = ocrTextItems(shot, items);
    for (const char* label : {"自然", "常用"}) {
        const qsizetype i = texts.indexOf(u(label));
        EXPECT_EQ(read.value(i), u(label));
    }
}

// The pointer comes from beside the bar straight to where a button rests and clicks: that
// button acts, without taking the focus, with and without the custom preset.
TEST_F(CapsuleBarTest, AClickWhereAButtonRestsIsThatButtonsAndLeavesTheFocus)
{
    desktop->showMainPanel();
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == quint32(desktop->mainPanel()->winId()); }));
    for (const bool custom : {false, true}) {
        if (custom)
            run->tuning().saveCustomPreset();
        ASSERT_EQ(capsule().buttons().size(), custom ? 8u : 7u);
        for (int i = 0; i < int(capsule().buttons().size()); ++i) {
            const layout::Action action = capsule().buttons()[size_t(i)].action;
            SCOPED_TRACE(capsule().buttons()[size_t(i)].label.toStdString());
            run->state().setPreset(QString());
            const int transpose = run->settings().lastUsedTranspose();
            const bool panelShown = desktop->mainPanel()->isVisible();

            movePointer(onScreen(-60));
            ASSERT_TRUE(waitUntil([&] { return capsule().scales()[0] == 1.0; }));
            click(onScreen(layout::restingCentre(i)));
            switch (action) {
            case layout::Action::presetDefault:
            case layout::Action::presetElectric:
            case layout::Action::presetNatural:
            case layout::Action::presetCommon:
            case layout::Action::presetCustom:
                EXPECT_TRUE(waitUntil([&] { return run->state().preset() == layout::presetName(action); }))
                    << run->state().preset().toStdString();
                break;
            case layout::Action::down:
                EXPECT_TRUE(waitUntil([&] { return run->settings().lastUsedTranspose() == transpose - 1; }));
                break;
            case layout::Action::up:
                EXPECT_TRUE(waitUntil([&] { return run->settings().lastUsedTranspose() == transpose + 1; }));
                break;
            case layout::Action::expand:
                EXPECT_TRUE(waitUntil([&] { return desktop->mainPanel()->isVisible() != panelShown; }));
                break;
            }
            EXPECT_NE(activeWindow(), quint32(bar().winId()));
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
