// The capsule bar: its buttons and magnification by number, and the real bar on the test
// display under the real pointer.
#include "app/app_run.h"
#include "app/song_tracker.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
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

TEST(CapsuleRules, MagnificationAndDrawnCentres)
{
    // No pointer: every scale 1, centres at rest.
    const auto rest = layout::scales(std::nullopt, 7);
    const auto restCentres = layout::drawnCentres(rest);
    for (int i = 0; i < 7; ++i) {
        EXPECT_DOUBLE_EQ(rest[size_t(i)], 1.0);
        EXPECT_DOUBLE_EQ(restCentres[size_t(i)], layout::restingCentre(i));
    }
    EXPECT_DOUBLE_EQ(layout::restingCentre(0), 140 + 36 + 20);
    EXPECT_DOUBLE_EQ(layout::restingCentre(3), 140 + 36 + 3 * 46 + 20);

    for (int over = 0; over < 8; ++over) {
        const auto s = layout::scales(layout::restingCentre(over), 8);
        EXPECT_DOUBLE_EQ(s[size_t(over)], 1.8);
        for (int i = 0; i < 8; ++i) {
            const double d = (i - over) * 46.0;
            EXPECT_NEAR(s[size_t(i)], 1 + 0.8 * std::exp(-d * d / 4608), 1e-12);
        }
        // Neighbours move apart: each drawn centre is right of its resting one after the
        // hovered button, and the whole row still fits the bar.
        const auto c = layout::drawnCentres(s);
        for (int i = over + 1; i < 8; ++i)
            EXPECT_GT(c[size_t(i)], layout::restingCentre(i));
        EXPECT_LE(c[7] + 40 * s[7] / 2, layout::kBarWidth);
        // Centres: the previous scaled widths and gaps, then half of its own.
        double x = 176;
        for (int i = 0; i < 8; ++i) {
            EXPECT_NEAR(c[size_t(i)], x + 40 * s[size_t(i)] / 2, 1e-9);
            x += 40 * s[size_t(i)] + 6;
        }
    }
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
    // The global position of button `index`'s drawn centre.
    QPoint buttonAt(int index)
    {
        const QRect frame = windowGeometry(quint32(bar().winId()));
        return frame.topLeft() +
               QPoint(int(desktop->capsuleBar().centres()[size_t(index)]), layout::kBarHeight - 10 - 24);
    }

    // Puts the real pointer on button `index`: the buttons move as they grow under it, so
    // it follows the drawn centre until that button is the one under it.
    bool hover(int index)
    {
        for (int attempt = 0; attempt < 6; ++attempt) {
            movePointer(buttonAt(index));
            if (waitUntil([&] { return desktop->capsuleBar().hoveredIndex() == index; },
                          std::chrono::milliseconds(500)))
                return true;
        }
        return false;
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

    // The pointer over "自然": it is drawn largest, and the screenshot reads back.
    CapsuleBarController& capsule = desktop->capsuleBar();
    capsule.setPointer(layout::restingCentre(2));
    EXPECT_DOUBLE_EQ(capsule.scales()[2], 1.8);
    // Grown, it moved right of its resting centre; under its drawn centre it is the one hovered.
    capsule.setPointer(capsule.centres()[2]);
    EXPECT_EQ(capsule.hoveredIndex(), 2);
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

TEST_F(CapsuleBarTest, RealClicksNeverTakeTheFocusAndDoWhatTheyAre)
{
    desktop->showMainPanel();
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == quint32(desktop->mainPanel()->winId()); }));
    const quint32 focused = activeWindow();

    // "升": the transposition and with it the plug-in's key move one semitone.
    run->state().setKeyText(u("B 大调"));
    const auto stateKey = [] {
        for (const QByteArray& line : readAll(PluginIPC::file()).split('\n')) {
            if (line.startsWith("key="))
                return int(std::lround(line.mid(4).toDouble()));
        }
        return -1;
    };
    ASSERT_TRUE(hover(5));
    click(buttonAt(5));
    ASSERT_TRUE(waitUntil([&] { return run->state().transpose() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return stateKey() == 0; })) << readAll(PluginIPC::file()).toStdString();
    EXPECT_EQ(activeWindow(), focused);

    // "展开" hides the shown panel and shows it again.
    ASSERT_TRUE(hover(6));
    click(buttonAt(6));
    ASSERT_TRUE(waitUntil([&] { return !desktop->mainPanel()->isVisible(); }));
    ASSERT_TRUE(hover(6));
    click(buttonAt(6));
    ASSERT_TRUE(waitUntil([&] { return desktop->mainPanel()->isVisible(); }));

    // Choosing the island hides the capsule (kept for later) and the panel.
    run->state().setFloatingBarStyleRaw(QStringLiteral("notch"));
    EXPECT_FALSE(bar().isVisible());
    EXPECT_FALSE(desktop->mainPanel()->isVisible());
    run->state().setFloatingBarStyleRaw(QStringLiteral("capsule"));
    EXPECT_TRUE(bar().isVisible());
}
