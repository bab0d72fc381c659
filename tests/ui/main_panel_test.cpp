// The main panel and the consent window over a real run: their controllers, the texts they
// show in order, the save dialog, the file manager, and the real pointer.
#include "app/app_delegate.h"
#include "core/settings_store.h"
#include "desktop_test.h"
#include "ui/diagnostics_saver.h"
#include "ui/hover_tip.h"
#include "ui/main_panel_controller.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFileDialog>
#include <QSignalSpy>

namespace {

// A file manager on its own bus connection, so the call really travels over the bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    FakeFileManager()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fm")))
    {
        registered = m_bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), this,
                                          QDBusConnection::ExportAllSlots) &&
                     m_bus.registerService(QStringLiteral("org.freedesktop.FileManager1"));
    }
    ~FakeFileManager() override { QDBusConnection::disconnectFromBus(QStringLiteral("fm")); }
    bool registered = false;
    QStringList shown;

public slots:
    void ShowItems(const QStringList& uris, const QString& /*startupId*/) { shown += uris; }

private:
    QDBusConnection m_bus;
};

class PanelTest : public DesktopTest {
protected:
    MainPanelController& panel() { return desktop->panelController(); }
    QQuickWindow& panelWindow() { return *desktop->mainPanel(); }
};

// Also the update notice: shown until "忽略", and again after a restart; then the export.
TEST_F(PanelTest, TranspositionStopsAtTwelveAChosenChannelIsStoredTheUpdateNoticeIgnoredAndAReportExported)
{
    startServer({u("--latest-version"), u("99.0.0"), u("--latest-url"), u("https://example.invalid/dl")});
    startDesktop(true);
    ASSERT_NE(desktop->mainPanel(), nullptr) << "the main panel's view did not load";
    for (int i = 0; i < 15; ++i)
        panel().transposeUp();
    EXPECT_EQ(panel().transposeText(), u("+12"));
    for (int i = 0; i < 30; ++i)
        panel().transposeDown();
    EXPECT_EQ(run->settings().lastUsedTranspose(), -12);

    // The tracker's own tests show a stored channel starting the transposer.
    ASSERT_TRUE(waitUntil([&] { return !run->state().channels().isEmpty(); }));
    const QString statusBefore = run->state().channelStatus();
    panel().chooseChannel(u("no-such-input"));
    EXPECT_EQ(run->state().channelStatus(), statusBefore);
    EXPECT_FALSE(run->settings().accompanimentChannelUID().has_value());
    const AudioChannel channel = run->state().channels().constFirst();
    panel().chooseChannel(channel.uid);
    EXPECT_EQ(run->settings().accompanimentChannelUID(), channel.uid);
    EXPECT_EQ(run->state().channelStatus(), u("已选择：") + channel.name);

    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            desktop.reset();
            run.reset();
            startDesktop(true);
        }
        ASSERT_TRUE(waitUntil([&] { return panel().updateVisible(); })) << "run " << attempt;
        EXPECT_EQ(panel().updateVersion(), u("99.0.0"));
        panel().ignoreUpdate();
        EXPECT_FALSE(panel().updateVisible());
    }

    // The export, through the real save dialog, a window of its own: cancelled, then saved under
    // the name it proposes (home has no Documents here), then shown in the file manager.
    run->state().setCurrent(Song{u("晴天"), u("周杰伦")});
    DiagnosticsSaver& saver = desktop->diagnostics();
    QSignalSpy finished(&saver, &DiagnosticsSaver::exportFinished);
    const auto answerTheDialog = [&](bool accept) {
        saver.exportDiagnostics();
        QFileDialog* dialog = nullptr;
        const auto found = [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                    dialog = d;
            return dialog != nullptr;
        };
        ASSERT_TRUE(waitUntil(found, std::chrono::seconds(30)));
        if (accept)
            QMetaObject::invokeMethod(dialog, "accept");
        else
            dialog->reject();
        ASSERT_TRUE(finished.wait(30000));
    };
    answerTheDialog(false);
    EXPECT_EQ(saver.diagMessage(), u("已取消导出"));
    EXPECT_FALSE(saver.diagFileURL().isValid());
    EXPECT_TRUE(QDir(home.path()).entryList({u("*.txt")}).isEmpty());

    answerTheDialog(true);
    const QFileInfo saved(saver.diagFileURL().toLocalFile());
    EXPECT_TRUE(saved.fileName().startsWith(u("Melodrix诊断_"))) << saved.filePath().toStdString();
    EXPECT_EQ(saved.absolutePath(), QFileInfo(home.path()).absoluteFilePath());
    EXPECT_EQ(saver.diagMessage(), u("已保存：") + saved.fileName());
    const QString written = QString::fromUtf8(readAll(saved.filePath()));
    EXPECT_TRUE(written.contains(u("【当前状态】")) && written.contains(u("晴天"))) << written.toStdString();

    FakeFileManager fileManager;
    ASSERT_TRUE(fileManager.registered);
    saver.revealDiagnostics();
    ASSERT_TRUE(waitUntil([&] { return !fileManager.shown.isEmpty(); }));
    EXPECT_EQ(fileManager.shown, QStringList{saver.diagFileURL().toString()});
}

TEST_F(PanelTest, PanelAndConsentTextsTopToBottomTheEngineSwitchUnderMoreAndClosingOnlyHides)
{
    startDesktop();
    showSong("Db 大调");
    AppState& state = run->state();
    state.setSongSource(u("QQ音乐"));
    state.setKeyDetail(u("来自曲库"));
    state.setKeyLinkWarning(u("Auto-Tune Pro 没有跟上调"));
    desktop->showMainPanel();
    ASSERT_TRUE(waitForMapped(panelWindow()));
    QStringList expected =
        texts("晴天|周杰伦 · QQ音乐") + QStringList{state.displayKey(), state.syncText()} +
        texts("来自曲库|改调|调不对？反馈|⚠️ Auto-Tune Pro 没有跟上调") +
        QStringList{panel().atStatusText()} +
        texts("预设|默认|电音|自然|常用|调音|电音强度|自然|电|往右调：修音又快又狠，声音很“电”\n"
              "往左调：修音变慢，声音接近原声|女高音|女中音/男高音|低男声|乐器|贝斯|更多|伴奏|升降调|0|"
              "输入通道|选择…") +
        QStringList{state.channelStatus()} + texts("悬浮条|刘海|胶囊|导出诊断信息");
    // Once laid out (the first frames after the map may still move rows).
    QStringList shown;
    EXPECT_TRUE(waitUntil([&] {
        return (shown = visibleTextStrings(panelWindow().contentItem())) == expected;
    })) << shown.join(u("|")).toStdString();
    screenshot(panelWindow(), u("main_panel"));
    // "我的" comes with a custom preset, after "常用".
    state.setHasCustomPreset(true);
    expected.insert(expected.indexOf(u("常用")) + 1, u("我的"));
    EXPECT_TRUE(waitUntil([&] {
        return (shown = visibleTextStrings(panelWindow().contentItem())) == expected;
    })) << shown.join(u("|")).toStdString();
    // The whole panel fits a 1080-line screen without scrolling.
    EXPECT_LT(panelWindow().height(), 960);

    // "更多" opens the detector switch: its tip says what it changes, and a click stores it.
    ASSERT_TRUE(waitForSettledTexts(panelWindow()));
    const auto centreOf = [&](const char* name) { return centreOfItem(panelWindow().contentItem(), name); };
    click(centreOf("moreToggle"));
    ASSERT_TRUE(waitUntil([&] {
        return (shown = visibleTextStrings(panelWindow().contentItem())).contains(u("识别引擎"));
    })) << shown.join(u("|")).toStdString();
    EXPECT_EQ(shown.mid(shown.indexOf(u("识别引擎")), 3), texts("识别引擎|经典|神经网络优先"));
    // The panel grows with the section and the window manager may then move it up to keep it on
    // the screen: the pointer follows the row until the tip shows.
    QPoint aim;
    ASSERT_TRUE(waitUntil([&] {
        if (const QPoint row = centreOf("decisionEngine") - QPoint(60, 0); row != aim)
            movePointer(aim = row);
        return desktop->hoverTip().isShown();
    }));
    EXPECT_TRUE(desktop->hoverTip().currentText().contains(u("神经网络把握达到 70% 时由它定调")))
        << desktop->hoverTip().currentText().toStdString();
    ASSERT_EQ(SettingsStore::shared().keyDecisionEngine(), KeyDecisionEngine::classic);
    click(centreOf("neuralFirst"));
    EXPECT_TRUE(waitUntil(
        [] { return SettingsStore::shared().keyDecisionEngine() == KeyDecisionEngine::neuralFirst; }));

    // Closing hides; the same window comes back.
    panelWindow().close();
    ASSERT_TRUE(waitUntil([&] { return !isViewable(id(panelWindow())); }));
    EXPECT_EQ(desktop->mainPanel(), &panelWindow());
    desktop->toggleMainWindow();
    EXPECT_TRUE(waitUntil([&] { return isViewable(id(panelWindow())); }));

    // The consent window takes the focus from it.
    desktop->presentPrivacyConsent();
    QQuickWindow* consent = desktop->consentWindow();
    ASSERT_NE(consent, nullptr) << "the consent view did not load";
    ASSERT_TRUE(waitForMapped(*consent));
    EXPECT_TRUE(waitUntil([&] { return activeWindow() == id(*consent); })) << "active: " << activeWindow();
    screenshot(*consent, u("consent"));
    EXPECT_EQ(visibleTextStrings(consent->contentItem()),
              texts("使用前，先说清楚我们收集什么|我们只收集“你在放什么歌、放了多久”，用来判断该给什么调性。|"
                    "不上传音频|麦克风 / 系统声音只在本机内存里分析，不录音、不上传|不碰隐私内容|"
                    "不收集通讯录、聊天、相册、位置|不碰支付凭据|不接触支付宝密码、银行卡号|"
                    "完整说明（收集哪些、存多久、怎么删除）见|《隐私政策》|不同意|同意并继续"));

    // A click on "同意并继续" stores the consent, tells the run (whose tracker then resolves the
    // song: its own test) and closes the window.
    run->settings().setPrivacyConsent(false);
    QSignalSpy given(&run->delegate(), &AppDelegate::consentGiven);
    const QList<TextItem> items = visibleTexts(consent->contentItem());
    const auto accept =
        std::find_if(items.begin(), items.end(), [](auto& i) { return i.text == u("同意并继续"); });
    ASSERT_NE(accept, items.end());
    click(consent->mapToGlobal(accept->sceneRect.center()).toPoint());
    EXPECT_TRUE(waitUntil([&] { return given.count() == 1 && !consent->isVisible(); }));
    EXPECT_TRUE(run->settings().privacyConsent());
}

} // namespace

#include "main_panel_test.moc"
