// The island bar as the user meets it: its pages' texts in order, screenshots read back,
// the real pointer opening and closing it, and its X11 window state.
#include "app/app_run.h"
#include "app/song_tracker.h"
#include "core/app_state.h"
#include "core/cancellation.h"
#include "core/settings_store.h"
#include "platform/x11_window_state.h"
#include "still_desktop.h"
#include "support/run_task.h"
#include "support/temp_home.h"
#include "support/ui_testing.h"
#include "ui/desktop_ui.h"
#include "ui/diagnostics_saver.h"
#include "ui/floating_bar_window_controller.h"
#include "ui/hover_tip.h"
#include "ui/notch_bar_window_controller.h"
#include "ui/window_chrome.h"

#include <QCoro/QCoroSignal>
#include <QElapsedTimer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

using namespace ui_testing;

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

// Far from the island on the 1920 × 1080 test screen.
const QPoint kAway(300, 800);
// Inside the hot zone at the top centre.
const QPoint kHotZone(960, 8);

class IslandBarTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useSoftwareRendering(); }

    void SetUp() override
    {
        movePointer(kAway);
        // The island is the default bar: the desktop's own, shown at launch; each test
        // shows it itself.
        startStillDesktop(home, run, desktop);
        island = &desktop->island();
        island->hide();
    }
    void TearDown() override { stopDesktop(run, desktop); }

    void showSong()
    {
        AppState& state = run->state();
        state.setCurrent(Song{u("晴天"), u("周杰伦")});
        state.setKeyText(u("Db 大调"));
    }
    QQuickWindow& window() { return *island->window(); }
    quint32 windowId() { return quint32(window().winId()); }
    bool open() { return window().property("open").toBool(); }
    // The item named `name` in the window's item tree (delegates included).
    QQuickItem* item(const char* name) { return findItem(window().contentItem(), QString::fromLatin1(name)); }
    // The pill or card has reached the size its state asks for.
    bool settled()
    {
        const QQuickItem* card = item("island");
        if (!open())
            return card->height() == window().property("pillHeight").toReal();
        const char* target =
            window().property("visibility").value<QObject*>()->property("settingsPage").toBool()
                ? "settingsHeight"
                : "mainHeight";
        return card->height() == window().property(target).toReal() &&
               card->width() == window().property("cardWidth").toReal();
    }
    void showAndOpen()
    {
        island->show();
        ASSERT_TRUE(waitForMapped(window()));
        // The pointer over the card keeps it open.
        movePointer(kHotZone);
        ASSERT_TRUE(waitUntil([&] { return open() && settled(); }));
    }
    QPoint centreOf(const char* name) { return centreOfItem(window().contentItem(), name); }
    // Lets the event loop run (the tick included) for a while.
    static void idle(int ms)
    {
        QElapsedTimer timer;
        timer.start();
        waitUntil([&] { return timer.elapsed() >= ms; });
    }
    QImage shoot(const QString& name)
    {
        const QImage shot = grabAt2x(window());
        EXPECT_FALSE(saveScreenshot(shot, QStringLiteral(TONIVOX_SCREENSHOT_DIR), name).isEmpty());
        return shot;
    }

    TempHome home;
    std::unique_ptr<AppRun> run;
    std::unique_ptr<DesktopUi> desktop;
    NotchBarWindowController* island = nullptr;
};

TEST_F(IslandBarTest, MainPageReadsInOrderAndBackFromItsScreenshot)
{
    showSong();
    showAndOpen();
    const QStringList expected = {
        u("晴天"), run->state().displayKey(), u("默认"), u("电音"), u("自然"), u("常用"), u("升降调"), u("0"),
        u("设置")};
    EXPECT_EQ(visibleTextStrings(window().contentItem()), expected);

    const QImage shot = shoot(QStringLiteral("island_main"));
    QList<TextItem> items = visibleTexts(window().contentItem());
    QStringList read = ocrTextItems(shot, items);
    ASSERT_EQ(read.size(), items.size());
    // The selected chip (dark on light) is read once another one is chosen, by the pointer.
    for (const char* label : {"电音", "自然", "常用", "升降调", "设置"})
        EXPECT_EQ(read.value(expected.indexOf(u(label))), u(label));
    click(centreOf("preset_electric"));
    ASSERT_TRUE(waitUntil([&] { return run->state().preset() == u("electric"); }));
    items = visibleTexts(window().contentItem());
    read = ocrTextItems(shoot(QStringLiteral("island_main_electric")), items);
    EXPECT_EQ(read.value(expected.indexOf(u("默认"))), u("默认"));

    // "我的" with a custom preset, after "常用"; the product word while no key is known.
    run->state().setHasCustomPreset(true);
    run->state().setKeyText(u("等待识别歌曲…"));
    QStringList now;
    EXPECT_TRUE(waitUntil([&] {
        now = visibleTextStrings(window().contentItem());
        return now.value(1) == u("声友") && now.indexOf(u("我的")) == now.indexOf(u("常用")) + 1;
    })) << now.join(u("|")).toStdString();
}

TEST_F(IslandBarTest, ALongSongLineScrollsWhileTheCardIsOpen)
{
    run->state().setCurrent(
        Song{u("这是一首名字非常非常长的歌，长到一行放不下，只好慢慢滚动给你看完整的名字"), u("歌手")});
    showAndOpen();
    QQuickItem* line = item("songLine");
    ASSERT_NE(line, nullptr);
    QQuickItem* label = line->childItems().value(0);
    ASSERT_NE(label, nullptr);
    EXPECT_GT(label->width(), line->width());
    EXPECT_TRUE(waitUntil([&] { return label->x() < -20; }));
    // Closed, it rests at its start.
    movePointer(kAway);
    ASSERT_TRUE(waitUntil([&] { return !open(); }));
    EXPECT_TRUE(waitUntil([&] { return label->x() == 0; }));
}

TEST_F(IslandBarTest, SettingsPageReadsInOrderAndChoosesTheCapsuleWithThePointer)
{
    // The update check finds nobody listening there.
    SettingsStore::shared().setServerBaseURL(u("http://127.0.0.1:9"));
    showAndOpen();
    const quint32 before = activeWindow();
    const QPoint gear = centreOf("settings");
    click(gear);
    ASSERT_TRUE(waitUntil([&] { return settled() && item("back")->isVisible(); }));

    // The inputs the sound server lists (the test services' null sink has a monitor).
    QStringList expected = {u("设置"), u("输入通道")};
    for (const AudioChannel& channel : run->state().channels())
        expected.append(channel.name);
    ASSERT_GT(expected.size(), 2);
    // No loop of ours on the test server: the chip offers to make one.
    expected << u("创建伴奏回路") << run->state().channelStatus() << u("显示为") << u("刘海") << u("胶囊") << u("导出诊断信息")
             << u("检查更新");
    EXPECT_EQ(visibleTextStrings(window().contentItem()), expected);
    const QImage shot = shoot(QStringLiteral("island_settings"));
    const QList<TextItem> items = visibleTexts(window().contentItem());
    const QStringList read = ocrTextItems(shot, items);
    for (const char* label : {"输入通道", "显示为", "导出诊断信息"})
        EXPECT_EQ(read.value(expected.indexOf(u(label))), u(label));

    click(centreOf("checkUpdate"));
    QStringList texts;
    EXPECT_TRUE(waitUntil([&] {
        texts = visibleTextStrings(window().contentItem());
        return texts.contains(u("检查失败，请稍后再试"));
    })) << texts.join(u("|")).toStdString();

    ASSERT_EQ(run->state().floatingBarStyle(), FloatingBarStyle::notch);
    click(centreOf("styleCapsule"));
    EXPECT_TRUE(waitUntil([&] { return run->state().floatingBarStyle() == FloatingBarStyle::capsule; }));
    EXPECT_EQ(run->settings().floatingBarStyle().value_or(QString()), u("capsule"));
    // None of the clicks took the focus.
    EXPECT_EQ(activeWindow(), before);
    // The capsule takes over; the island is hidden, kept for a switch back.
    EXPECT_FALSE(island->isShown());
    ASSERT_NE(desktop->floatingBar().capsuleWindow(), nullptr);
    EXPECT_TRUE(waitForMapped(*desktop->floatingBar().capsuleWindow()));
}

TEST_F(IslandBarTest, StaysOpenWhileItsSaveDialogIsUp)
{
    // The dialog answers when the test says so.
    // (A timer's timeout carries a private tag that QCoro's signal await cannot build.)
    cancellation::Waker answer;
    const QString target = home.path() + u("/诊断.txt");
    desktop->diagnostics().setAskLocation(
        [&answer, target](QString, std::stop_token) -> QCoro::Task<std::optional<QString>> {
            co_await qCoro(&answer, &cancellation::Waker::woken);
            co_return target;
        });
    showAndOpen();
    click(centreOf("settings"));
    ASSERT_TRUE(waitUntil([&] { return settled() && item("exportDiagnostics")->isVisible(); }));
    click(centreOf("exportDiagnostics"));
    ASSERT_TRUE(waitUntil([&] { return desktop->diagnostics().working(); }));

    movePointer(kAway);
    idle(900);
    EXPECT_TRUE(open());
    answer.wake();
    EXPECT_TRUE(waitUntil([&] { return !desktop->diagnostics().working(); }));
    EXPECT_EQ(desktop->diagnostics().diagMessage(), u("已保存：诊断.txt"));
    // The dialog gone and the pointer away, it closes.
    EXPECT_TRUE(waitUntil([&] { return !open(); }));
}

TEST_F(IslandBarTest, CollapsedItIsOnlyThePillUnderTheTopEdge)
{
    run->state().setKeyText(u("等待识别歌曲…"));
    island->show();
    ASSERT_TRUE(waitForMapped(window()));
    ASSERT_TRUE(waitUntil([&] { return settled(); }));
    EXPECT_FALSE(open());
    EXPECT_EQ(visibleTextStrings(window().contentItem()), QStringList{u("声友")});
    shoot(QStringLiteral("island_collapsed"));

    // Centred under the top edge, 560 wide.
    const QRect frame = windowGeometry(windowId());
    EXPECT_EQ(frame.left(), (1920 - 560) / 2);
    EXPECT_EQ(frame.top(), 0);
    EXPECT_EQ(frame.width(), 560);
    // No compositor here: the shape is the 224 × 32 pill, 3 below the top, rounded.
    ASSERT_FALSE(compositorRunning());
    QRegion shape;
    EXPECT_TRUE(waitUntil([&] {
        shape = boundingShape(windowId());
        return shape.boundingRect() == QRect(168, 3, 224, 32);
    })) << "shape bounds "
        << shape.boundingRect().x() << "," << shape.boundingRect().width();
    EXPECT_TRUE(shape.contains(QPoint(280, 19)));
    EXPECT_FALSE(shape.contains(QPoint(168, 3)));  // a rounded corner
    EXPECT_FALSE(shape.contains(QPoint(20, 100))); // where the card would be
}

TEST_F(IslandBarTest, ThePointerOpensItHeldButtonsAndThePinKeepItOpen)
{
    island->show();
    ASSERT_TRUE(waitForMapped(window()));
    idle(100);
    EXPECT_FALSE(open());

    movePointer(kHotZone);
    ASSERT_TRUE(waitUntil([&] { return open(); }));
    movePointer(kAway);
    ASSERT_TRUE(waitUntil([&] { return !open(); }));

    // A button held outside: open until it is released.
    movePointer(kHotZone);
    ASSERT_TRUE(waitUntil([&] { return open() && settled(); }));
    movePointer(kAway);
    pressButton(1);
    idle(900);
    EXPECT_TRUE(open());
    releaseButton(1);
    EXPECT_TRUE(waitUntil([&] { return !open(); }));

    // The pin, with its tip.
    movePointer(kHotZone);
    ASSERT_TRUE(waitUntil([&] { return open() && settled(); }));
    const QPoint pin = centreOf("pin");
    movePointer(pin);
    EXPECT_TRUE(waitUntil([&] { return desktop->hoverTip().isShown(); }));
    EXPECT_EQ(desktop->hoverTip().currentText(), u("固定，不自动收起"));
    click(pin);
    ASSERT_TRUE(waitUntil([&] { return item("pin")->property("checked").toBool(); }));
    movePointer(kAway);
    idle(900);
    EXPECT_TRUE(open());
    EXPECT_FALSE(desktop->hoverTip().isShown());

    // Hiding forgets the pin: shown again, it is collapsed and closes by itself.
    island->hide();
    EXPECT_FALSE(island->isShown());
    island->show();
    ASSERT_TRUE(waitForMapped(window()));
    EXPECT_FALSE(open());
    island->expand();
    ASSERT_TRUE(waitUntil([&] { return open(); }));
    EXPECT_TRUE(waitUntil([&] { return !open(); }));
}

TEST_F(IslandBarTest, AboveOnEveryDesktopAndNeverTakesTheFocus)
{
    // Something else has the focus: the main panel.
    desktop->showMainPanel();
    ASSERT_TRUE(waitForMapped(*desktop->mainPanel()));
    const auto panelId = quint32(desktop->mainPanel()->winId());
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == panelId; }));

    island->show();
    ASSERT_TRUE(waitForMapped(window()));
    EXPECT_TRUE(waitForCardinal(windowId(), "_NET_WM_DESKTOP", 0xFFFFFFFF));
    EXPECT_TRUE(waitForAtom(windowId(), "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));
    EXPECT_TRUE(waitForAtom(windowId(), "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_EQ(activeWindow(), panelId);

    movePointer(kHotZone);
    ASSERT_TRUE(waitUntil([&] { return open() && settled(); }));
    EXPECT_EQ(activeWindow(), panelId);
    click(centreOf("transposeUp"));
    EXPECT_TRUE(waitUntil([&] { return run->state().transpose() == 1; }));
    idle(200);
    EXPECT_EQ(activeWindow(), panelId);
}

// A panel along the top of the screen, as a desktop's dock: the window manager takes its
// strut out of the work area.
class TopDock {
public:
    explicit TopDock(int height) : m_connection(platform::x11Connection())
    {
        xcb_connection_t* c = m_connection;
        m_window = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, m_window, platform::x11RootWindow(), 0, 0, 1920,
                          quint16(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0,
                          nullptr);
        const quint32 dock = platform::x11Atom("_NET_WM_WINDOW_TYPE_DOCK");
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, m_window, platform::x11Atom("_NET_WM_WINDOW_TYPE"),
                            XCB_ATOM_ATOM, 32, 1, &dock);
        const quint32 strut[12] = {0, 0, quint32(height), 0, 0, 0, 0, 0, 0, 1919, 0, 0};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, m_window, platform::x11Atom("_NET_WM_STRUT_PARTIAL"),
                            XCB_ATOM_CARDINAL, 32, 12, strut);
        xcb_map_window(c, m_window);
        xcb_flush(c);
    }
    ~TopDock()
    {
        xcb_destroy_window(m_connection, m_window);
        xcb_flush(m_connection);
    }

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_window;
};

TEST_F(IslandBarTest, MovesDownWhenAPanelTakesTheTopOfTheScreen)
{
    island->show();
    ASSERT_TRUE(waitForMapped(window()));
    ASSERT_EQ(windowGeometry(windowId()).top(), 0);
    {
        TopDock dock(28);
        EXPECT_TRUE(waitUntil([&] { return windowGeometry(windowId()).top() == 28; }))
            << windowGeometry(windowId()).top();
        // The hot zone moved with it: the pointer at the new top opens the card.
        movePointer({960, 30});
        EXPECT_TRUE(waitUntil([&] { return open(); }));
        movePointer(kAway);
        EXPECT_TRUE(waitUntil([&] { return !open(); }));
    }
    EXPECT_TRUE(waitUntil([&] { return windowGeometry(windowId()).top() == 0; }));
}

TEST_F(IslandBarTest, StartsOpenWhenAskedByTheEnvironment)
{
    qputenv("MX_NOTCH_EXPANDED", "1");
    island->show();
    qunsetenv("MX_NOTCH_EXPANDED");
    ASSERT_TRUE(waitForMapped(window()));
    EXPECT_TRUE(open());
}

} // namespace
