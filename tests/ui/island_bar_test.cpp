// The island bar as the user meets it: its pages' texts in order, a screenshot read back, the
// real pointer opening and closing it, and its place and shape under the top edge.
#include "core/cancellation.h"
#include "core/settings_store.h"
#include "desktop_test.h"
#include "ui/diagnostics_saver.h"
#include "ui/floating_bar_window_controller.h"
#include "ui/hover_tip.h"
#include "ui/notch_bar_window_controller.h"
#include "ui/window_chrome.h"

#include <QCoro/QCoroSignal>
#include <QQuickItem>

namespace {

const QPoint kAway(300, 800);
const QPoint kHotZone(960, 8);

class IslandBarTest : public DesktopTest {
protected:
    void SetUp() override
    {
        DesktopTest::SetUp();
        movePointer(kAway);
        // Shown at launch (the default bar); each test shows it itself.
        startDesktop();
        island = &desktop->island();
        island->hide();
    }
    QQuickWindow& window() { return *island->window(); }
    bool open() { return window().property("open").toBool(); }
    QQuickItem* item(const char* name) { return findItem(window().contentItem(), QString::fromLatin1(name)); }
    QPoint centreOf(const char* name) { return centreOfItem(window().contentItem(), name); }
    QStringList shown() { return visibleTextStrings(window().contentItem()); }
    // The pill or card has reached the size its state asks for.
    bool settled()
    {
        const QQuickItem* card = item("island");
        if (!open())
            return card->height() == window().property("pillHeight").toReal();
        const bool settings =
            window().property("visibility").value<QObject*>()->property("settingsPage").toBool();
        return card->height() == window().property(settings ? "settingsHeight" : "mainHeight").toReal() &&
               card->width() == window().property("cardWidth").toReal();
    }
    void showAndOpen()
    {
        island->show();
        ASSERT_TRUE(waitForMapped(window()));
        movePointer(kHotZone);
        ASSERT_TRUE(waitUntil([&] { return open() && settled(); }));
    }

    NotchBarWindowController* island = nullptr;
};

TEST_F(IslandBarTest, BothPagesReadInOrderAndThePointerChoosesAPresetAndTheCapsule)
{
    // The update check finds nobody listening there.
    SettingsStore::shared().setServerBaseURL(u("http://127.0.0.1:9"));
    showSong("Db 大调");
    showAndOpen();
    EXPECT_EQ(shown(), (QStringList() << u("晴天") << run->state().displayKey()) +
                           texts("默认|电音|自然|常用|升降调|0|设置"));
    click(centreOf("preset_electric"));
    EXPECT_TRUE(waitUntil([&] { return run->state().preset() == u("electric"); }));
    // The chips read back (the chosen one is dark on light: "默认" no longer).
    EXPECT_EQ(screenshot(window(), u("island_main"), texts("默认|常用")), texts("默认|常用"));

    const quint32 before = activeWindow();
    click(centreOf("settings"));
    ASSERT_TRUE(waitUntil([&] { return settled() && item("back")->isVisible(); }));

    // The inputs the sound server lists (the test services' null sink has a monitor).
    QStringList expected = {u("设置"), u("输入通道")};
    for (const AudioChannel& channel : run->state().channels())
        expected.append(channel.name);
    ASSERT_GT(expected.size(), 2);
    // No loop of ours on the test server: the chip offers to make one.
    expected << u("创建伴奏回路") << run->state().channelStatus()
             << texts("显示为|刘海|胶囊|导出诊断信息|检查更新");
    EXPECT_EQ(shown(), expected);
    screenshot(window(), u("island_settings"));

    click(centreOf("checkUpdate"));
    EXPECT_TRUE(waitUntil([&] { return shown().contains(u("检查失败，请稍后再试")); }))
        << shown().join(u("|")).toStdString();

    ASSERT_EQ(run->state().floatingBarStyle(), FloatingBarStyle::notch);
    click(centreOf("styleCapsule"));
    EXPECT_TRUE(waitUntil([&] { return run->state().floatingBarStyle() == FloatingBarStyle::capsule; }));
    EXPECT_EQ(run->settings().floatingBarStyle().value_or(QString()), u("capsule"));
    EXPECT_EQ(activeWindow(), before) << "a click took the focus";
    // The capsule takes over; the island is hidden, kept for a switch back.
    EXPECT_FALSE(island->isShown());
    ASSERT_NE(desktop->floatingBar().capsuleWindow(), nullptr);
    EXPECT_TRUE(waitForMapped(*desktop->floatingBar().capsuleWindow()));
}

TEST_F(IslandBarTest, StartsOpenWhenAskedClosesToThePillAndItsSaveDialogKeepsItOpen)
{
    // Asked by the environment, it starts open; the pointer away, it closes to the pill.
    run->state().setKeyText(u("等待识别歌曲…"));
    qputenv("MX_NOTCH_EXPANDED", "1");
    island->show();
    qunsetenv("MX_NOTCH_EXPANDED");
    ASSERT_TRUE(waitForMapped(window()));
    EXPECT_TRUE(open());
    ASSERT_TRUE(waitUntil([&] { return !open(); }));
    ASSERT_TRUE(waitUntil([&] { return settled(); }));
    EXPECT_EQ(shown(), QStringList{u("声友")});
    screenshot(window(), u("island_collapsed"));

    // Centred under the top edge, 560 wide; no compositor here: the shape is the 224 × 32 pill,
    // 3 below the top, rounded.
    const QRect frame = windowGeometry(id(window()));
    EXPECT_EQ(QRect(frame.topLeft(), QSize(frame.width(), 1)), QRect(680, 0, 560, 1));
    ASSERT_FALSE(compositorRunning());
    QRegion shape;
    EXPECT_TRUE(waitUntil(
        [&] { return (shape = boundingShape(id(window()))).boundingRect() == QRect(168, 3, 224, 32); }));
    EXPECT_TRUE(shape.contains(QPoint(280, 19)));
    EXPECT_FALSE(shape.contains(QPoint(168, 3)));  // a rounded corner
    EXPECT_FALSE(shape.contains(QPoint(20, 100))); // where the card would be

    movePointer(kHotZone);
    ASSERT_TRUE(waitUntil([&] { return open() && settled(); }));

    // The pin's tip (the pin itself is the visibility rules' test).
    movePointer(centreOf("pin"));
    EXPECT_TRUE(waitUntil([&] { return desktop->hoverTip().isShown(); }));
    EXPECT_EQ(desktop->hoverTip().currentText(), u("固定，不自动收起"));

    // The save dialog answers when the test says so (QCoro cannot await a timer's timeout).
    cancellation::Waker answer;
    desktop->diagnostics().setAskLocation(
        [&answer, this](QString, std::stop_token) -> QCoro::Task<std::optional<QString>> {
            co_await qCoro(&answer, &cancellation::Waker::woken);
            co_return home.path() + u("/report.txt");
        });
    desktop->diagnostics().exportDiagnostics();
    movePointer(kAway);
    waitUntil([] { return false; }, std::chrono::milliseconds(900)); // the pointer ticks meanwhile
    EXPECT_TRUE(open());
    answer.wake();
    EXPECT_TRUE(waitUntil([&] { return !desktop->diagnostics().working() && !open(); }));
}

} // namespace
