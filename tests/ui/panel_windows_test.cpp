// The main panel and the consent window as the user sees them: their texts in order, read
// back from screenshots, and their X11 window state.
#include "app/app_run.h"
#include "app/song_tracker.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "still_desktop.h"
#include "support/run_task.h"
#include "support/temp_home.h"
#include "support/ui_testing.h"
#include "ui/desktop_ui.h"
#include "ui/hover_tip.h"
#include "ui/main_panel_controller.h"

#include <QCursor>
#include <QQuickItem>
#include <QQuickWindow>
#include <gtest/gtest.h>

using namespace ui_testing;

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

class PanelWindowsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useSoftwareRendering(); }

    void SetUp() override
    {
        startStillDesktop(home, run, desktop);
        ASSERT_NE(desktop->mainPanel(), nullptr);
    }
    void TearDown() override { stopDesktop(run, desktop); }
    void showSong()
    {
        AppState& state = run->state();
        state.setCurrent(Song{u("晴天"), u("周杰伦")});
        state.setSongSource(u("QQ音乐"));
        state.setKeyText(u("Db 大调"));
        state.setKeyDetail(u("来自曲库"));
        state.setKeyLinkWarning(u("Auto-Tune Pro 没有跟上调"));
    }
    QQuickWindow& panel() { return *desktop->mainPanel(); }

    TempHome home;
    std::unique_ptr<AppRun> run;
    std::unique_ptr<DesktopUi> desktop;
};

} // namespace

TEST_F(PanelWindowsTest, MainPanelTextsTopToBottom)
{
    showSong();
    desktop->showMainPanel();
    ASSERT_TRUE(waitForMapped(panel()));
    const AppState& state = run->state();
    const MainPanelController& controller = desktop->panelController();
    const QStringList expected = {
        u("晴天"),
        u("周杰伦 · QQ音乐"),
        state.displayKey(),
        state.syncText(),
        u("来自曲库"),
        u("改调"),
        u("调不对？反馈"),
        u("⚠️ Auto-Tune Pro 没有跟上调"),
        controller.atStatusText(),
        u("预设"),
        u("默认"),
        u("电音"),
        u("自然"),
        u("常用"),
        u("调音"),
        u("电音强度"),
        u("自然"),
        u("电"),
        u("往右调：修音又快又狠，声音很“电”\n往左调：修音变慢，声音接近原声"),
        u("女高音"),
        u("女中音/男高音"),
        u("低男声"),
        u("乐器"),
        u("贝斯"),
        u("更多"),
        u("伴奏"),
        u("升降调"),
        u("0"),
        u("输入通道"),
        u("选择…"),
        state.channelStatus(),
        u("悬浮条"),
        u("刘海"),
        u("胶囊"),
        u("导出诊断信息"),
    };
    // Once laid out (the first frames after the map may still move rows).
    QStringList shown;
    EXPECT_TRUE(waitUntil([&] {
        shown = visibleTextStrings(panel().contentItem());
        return shown == expected;
    })) << shown.join(u("|")).toStdString();

    // "我的" appears with a custom preset, between "常用" and "调音".
    run->state().setHasCustomPreset(true);
    QStringList withCustom;
    EXPECT_TRUE(waitUntil([&] {
        withCustom = visibleTextStrings(panel().contentItem());
        return withCustom.contains(u("我的")) &&
               withCustom.indexOf(u("我的")) == withCustom.indexOf(u("常用")) + 1;
    })) << withCustom.join(u("|")).toStdString();
    // The whole panel fits a 1080-line screen without scrolling.
    EXPECT_LT(panel().height(), 960);
}

TEST_F(PanelWindowsTest, MainPanelScreenshotReadsBack)
{
    showSong();
    desktop->showMainPanel();
    ASSERT_TRUE(waitForMapped(panel()));
    ASSERT_TRUE(waitForSettledTexts(panel()));
    const QImage shot = grabAt2x(panel());
    ASSERT_FALSE(
        saveScreenshot(shot, QStringLiteral(TONIVOX_SCREENSHOT_DIR), QStringLiteral("main_panel")).isEmpty());

    const QList<TextItem> items = visibleTexts(panel().contentItem());
    const QStringList read = ocrTextItems(shot, items);
    ASSERT_EQ(read.size(), items.size());
    const auto readOf = [&](const QString& text) {
        for (qsizetype i = 0; i < items.size(); ++i) {
            if (items[i].text == text)
                return read[i];
        }
        return QString();
    };
    // OCR may read "/" as "1" or drop spaces: compare what a reader would.
    const auto plain = [](QString s) { return s.remove(QLatin1Char(' ')); };
    EXPECT_EQ(plain(readOf(run->state().displayKey())), plain(run->state().displayKey()));
    for (const char* label : {"默认", "电音", "常用", "升降调"})
        EXPECT_EQ(readOf(u(label)), u(label));
}

TEST_F(PanelWindowsTest, MainPanelIsAboveOnEveryDesktopAndHiddenWhenClosed)
{
    desktop->showMainPanel();
    ASSERT_TRUE(waitForMapped(panel()));
    const auto id = quint32(panel().winId());
    EXPECT_TRUE(waitForCardinal(id, "_NET_WM_DESKTOP", 0xFFFFFFFF));
    EXPECT_TRUE(waitForAtom(id, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));

    // Closing hides; the same window comes back with the same state.
    panel().close();
    ASSERT_TRUE(waitUntil([&] { return !isViewable(id); }));
    EXPECT_EQ(desktop->mainPanel(), &panel());
    desktop->toggleMainWindow();
    ASSERT_TRUE(waitUntil([&] { return isViewable(id); }));
    EXPECT_TRUE(waitForCardinal(id, "_NET_WM_DESKTOP", 0xFFFFFFFF));
    EXPECT_TRUE(waitForAtom(id, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));
}

TEST_F(PanelWindowsTest, ConsentWindowTakesTheFocusAndReadsAsWritten)
{
    desktop->presentPrivacyConsent();
    QQuickWindow* consent = desktop->consentWindow();
    ASSERT_NE(consent, nullptr);
    ASSERT_TRUE(waitForMapped(*consent));
    ASSERT_TRUE(waitForSettledTexts(*consent));
    const auto id = quint32(consent->winId());
    EXPECT_TRUE(waitUntil([&] { return activeWindow() == id; })) << "active: " << activeWindow();
    EXPECT_TRUE(waitForAtom(id, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));

    const QStringList expected = {
        u("使用前，先说清楚我们收集什么"),
        u("我们只收集“你在放什么歌、放了多久”，用来判断该给什么调性。"),
        u("不上传音频"),
        u("麦克风 / 系统声音只在本机内存里分析，不录音、不上传"),
        u("不碰隐私内容"),
        u("不收集通讯录、聊天、相册、位置"),
        u("不碰支付凭据"),
        u("不接触支付宝密码、银行卡号"),
        u("完整说明（收集哪些、存多久、怎么删除）见"),
        u("《隐私政策》"),
        u("不同意"),
        u("同意并继续"),
    };
    const QList<TextItem> items = visibleTexts(consent->contentItem());
    QStringList texts;
    for (const TextItem& item : items)
        texts.append(item.text);
    EXPECT_EQ(texts, expected);
    // The card is 470 wide.
    EXPECT_EQ(consent->contentItem()->childItems().isEmpty(), false);

    const QImage shot = grabAt2x(*consent);
    ASSERT_FALSE(
        saveScreenshot(shot, QStringLiteral(TONIVOX_SCREENSHOT_DIR), QStringLiteral("consent")).isEmpty());
    const QStringList read = ocrTextItems(shot, items);
    EXPECT_EQ(read.value(texts.indexOf(u("同意并继续"))), u("同意并继续"));
    EXPECT_EQ(read.value(texts.indexOf(u("不同意"))), u("不同意"));
}

TEST_F(PanelWindowsTest, HoverTipOverThePanelLeavesTheFocusAlone)
{
    desktop->showMainPanel();
    ASSERT_TRUE(waitForMapped(panel()));
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == quint32(panel().winId()); }));
    const quint32 before = activeWindow();
    desktop->hoverTip().schedule(u("告诉我们这首歌的调不对"));
    ASSERT_TRUE(waitUntil([&] { return desktop->hoverTip().isShown(); }));
    ASSERT_TRUE(waitForMapped(*desktop->hoverTip().window()));
    const QImage shot = grabAt2x(*qobject_cast<QQuickWindow*>(desktop->hoverTip().window()));
    saveScreenshot(shot, QStringLiteral(TONIVOX_SCREENSHOT_DIR), QStringLiteral("panel_hover_tip"));
    EXPECT_EQ(activeWindow(), before);
}

// "更多" opens the detector switch: its tip says what it changes, and a click stores the engine.
TEST_F(PanelWindowsTest, TheEngineSwitchUnderMoreStoresNeuralFirst)
{
    desktop->showMainPanel();
    ASSERT_TRUE(waitForMapped(panel()));
    ASSERT_TRUE(waitForSettledTexts(panel()));
    const auto centreOf = [&](const char* name) { return centreOfItem(panel().contentItem(), name); };
    click(centreOf("moreToggle"));
    QStringList shown;
    ASSERT_TRUE(waitUntil([&] {
        shown = visibleTextStrings(panel().contentItem());
        return shown.contains(u("识别引擎"));
    })) << shown.join(u("|")).toStdString();
    EXPECT_EQ(shown.mid(shown.indexOf(u("识别引擎")), 3), (QStringList{u("识别引擎"), u("经典"), u("神经网络优先")}));

    movePointer(centreOf("decisionEngine") - QPoint(60, 0));
    ASSERT_TRUE(waitUntil([&] { return desktop->hoverTip().isShown(); }));
    EXPECT_TRUE(desktop->hoverTip().currentText().contains(u("神经网络把握达到 70% 时由它定调")))
        << desktop->hoverTip().currentText().toStdString();

    ASSERT_EQ(SettingsStore::shared().keyDecisionEngine(), KeyDecisionEngine::classic);
    click(centreOf("neuralFirst"));
    EXPECT_TRUE(waitUntil([] { return SettingsStore::shared().keyDecisionEngine() == KeyDecisionEngine::neuralFirst; }));
    ASSERT_TRUE(waitForSettledTexts(panel()));
    saveScreenshot(grabAt2x(panel()), QStringLiteral(TONIVOX_SCREENSHOT_DIR), QStringLiteral("main_panel_more"));
}
