#include "app/app_delegate.h"
#include "app/app_run.h"
#include "app/keylib_test_base.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "diagnostics/diagnostic_exporter.h"
#include "pluginlink/key_link_check.h"
#include "support/run_task.h"
#include "transpose/accompaniment_processor.h"
#include "ui/desktop_ui.h"
#include "ui/diagnostics_saver.h"
#include "ui/main_panel_controller.h"
#include "ui/panel_geometry.h"
#include "ui/plugin_link_line.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileDialog>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

AppRun::Paths pathsIn(const TempHome& home)
{
    return {home.settingsPath(), home.path(), home.path()};
}

// The parts of a report that move by themselves between two readings: times, the state
// file's sequence and heartbeat lines.
QString steady(QString report)
{
    report.replace(QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")),
                   QStringLiteral("<time>"));
    QStringList kept;
    for (const QString& line : report.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("seq=")) && !line.contains(QLatin1String("plugin_state.txt")))
            kept.append(line);
    }
    return kept.join(QLatin1Char('\n'));
}

// A file manager on its own bus connection, so the call really travels over the bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    FakeFileManager()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fm")))
    {
        m_registered = m_bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), this,
                                            QDBusConnection::ExportAllSlots) &&
                       m_bus.registerService(QStringLiteral("org.freedesktop.FileManager1"));
    }
    ~FakeFileManager() override
    {
        m_bus.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fm"));
    }
    bool registered() const { return m_registered; }
    QStringList shown;

public slots:
    void ShowItems(const QStringList& uris, const QString& /*startupId*/) { shown += uris; }

private:
    QDBusConnection m_bus;
    bool m_registered = false;
};

} // namespace

TEST(PanelRules, HeightFollowsContentBetweenTheMinimumAndTheScreen)
{
    using namespace panel_geometry;
    EXPECT_EQ(fittedHeight(556, 1080), 560);
    EXPECT_EQ(fittedHeight(600.2, 1080), 605);
    EXPECT_EQ(fittedHeight(2000, 1080), 960);
    EXPECT_EQ(fittedHeight(2000, std::nullopt), 780);
    EXPECT_EQ(fittedHeight(700, std::nullopt), 704);
    EXPECT_FALSE(needsResize(560, 561));
    EXPECT_FALSE(needsResize(561, 560));
    EXPECT_TRUE(needsResize(560, 562));
}

TEST(PanelRules, LinkLineInItsFourStates)
{
    const PluginLinkLine named = pluginLinkLine(true, u("Auto-Tune Pro"), false);
    EXPECT_EQ(named.text, u("插件已连接 · Auto-Tune Pro"));
    const PluginLinkLine unnamed = pluginLinkLine(true, QString(), true);
    EXPECT_EQ(unnamed.text, u("插件已连接"));
    EXPECT_EQ(unnamed.color, named.color);
    const PluginLinkLine idle = pluginLinkLine(false, u("Auto-Tune Pro"), true);
    EXPECT_EQ(idle.text, u("已装 Auto-Tune · 插件没挂上"));
    const PluginLinkLine absent = pluginLinkLine(false, QString(), false);
    EXPECT_EQ(absent.text, u("未检测到 Auto-Tune"));
    // Green, amber, red-grey: three different colours, green the most green.
    EXPECT_NE(idle.color, named.color);
    EXPECT_NE(absent.color, idle.color);
    EXPECT_GT(named.color.green(), named.color.red());
    EXPECT_GT(idle.color.red(), idle.color.blue());
}

TEST(PanelRules, ProposedReportName)
{
    EXPECT_EQ(DiagnosticsSaver::proposedFileName(QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7))),
              u("Melodrix诊断_20260304_050607.txt"));
}

class PanelTest : public KeylibTestBase {
protected:
    PanelTest() : KeylibTestBase(R"({"songs": []})") {}
    void TearDown() override
    {
        desktop.reset();
        run.reset();
        finishServer();
    }
    void startRun()
    {
        run = std::make_unique<AppRun>(pathsIn(home));
        desktop = std::make_unique<DesktopUi>(*run);
    }
    MainPanelController& panel() { return desktop->panelController(); }

    std::unique_ptr<AppRun> run;
    std::unique_ptr<DesktopUi> desktop;
};

TEST_F(PanelTest, TranspositionStepsStopAtTwelveAndAreStored)
{
    startRun();
    ASSERT_NE(desktop->mainPanel(), nullptr) << "the main panel's view did not load";
    for (int i = 0; i < 15; ++i)
        panel().transposeUp();
    EXPECT_EQ(run->state().transpose(), 12);
    EXPECT_EQ(panel().transposeText(), u("+12"));
    for (int i = 0; i < 30; ++i)
        panel().transposeDown();
    EXPECT_EQ(run->state().transpose(), -12);
    EXPECT_EQ(run->settings().lastUsedTranspose(), -12);
}

TEST_F(PanelTest, ChoosingAChannelStoresItAndRestartsTheTransposer)
{
    startRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !run->state().channels().isEmpty(); }, 10000));
    const QString statusBefore = run->state().channelStatus();
    panel().chooseChannel(u("no-such-input"));
    EXPECT_EQ(run->state().channelStatus(), statusBefore);
    EXPECT_FALSE(run->settings().accompanimentChannelUID().has_value());

    const AudioChannel channel = run->state().channels().constFirst();
    panel().chooseChannel(channel.uid);
    EXPECT_EQ(run->settings().accompanimentChannelUID(), channel.uid);
    EXPECT_EQ(run->state().channelStatus(), u("已选择：") + channel.name);
    EXPECT_EQ(run->state().channelName(), channel.name);
    // Started on the new channel: running, or refusing the output's own monitor by name.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return run->transposer().isRunning() || run->transposer().statusText().contains(u("回授")); },
        10000))
        << run->transposer().statusText().toStdString();
}

TEST_F(PanelTest, UpdateNoticeUntilIgnoredForThisRun)
{
    startServer({QStringLiteral("--latest-version"), QStringLiteral("99.0.0"), QStringLiteral("--latest-url"),
                 QStringLiteral("https://example.invalid/dl")});
    for (int attempt = 0; attempt < 2; ++attempt) {
        startRun();
        ASSERT_TRUE(QTest::qWaitFor([&] { return panel().updateVisible(); }, 10000)) << "run " << attempt;
        EXPECT_EQ(panel().updateVersion(), u("99.0.0"));
        panel().ignoreUpdate();
        EXPECT_FALSE(panel().updateVisible());
        // A restart shows it again.
        desktop.reset();
        run.reset();
    }
}

TEST_F(PanelTest, ExportWritesTheReportAsUtf8AndRevealsItInTheFileManager)
{
    startRun();
    run->state().setCurrent(Song{u("晴天"), u("周杰伦")});
    const QString target = files.path() + u("/诊断.txt");
    DiagnosticsSaver& saver = desktop->diagnostics();
    saver.setAskLocation([target](QString proposed, std::stop_token) -> QCoro::Task<std::optional<QString>> {
        EXPECT_TRUE(proposed.endsWith(QLatin1String(".txt")));
        co_return target;
    });
    QSignalSpy finished(&saver, &DiagnosticsSaver::exportFinished);
    saver.exportDiagnostics();
    EXPECT_TRUE(saver.working());
    ASSERT_TRUE(finished.wait(30000));
    EXPECT_FALSE(saver.working());
    EXPECT_EQ(saver.diagMessage(), u("已保存：诊断.txt"));
    EXPECT_EQ(saver.diagFileURL(), QUrl::fromLocalFile(target));

    const QByteArray written = readAll(target);
    const QString expected =
        DiagnosticExporter::buildText(run->state(), &run->syncer(), run->diagnosticSources());
    EXPECT_EQ(QString::fromUtf8(written).toUtf8(), written) << "not UTF-8";
    EXPECT_EQ(steady(QString::fromUtf8(written)).toStdString(), steady(expected).toStdString());

    FakeFileManager fileManager;
    ASSERT_TRUE(fileManager.registered());
    saver.revealDiagnostics();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fileManager.shown.isEmpty(); }, 10000));
    EXPECT_EQ(fileManager.shown, QStringList{QUrl::fromLocalFile(target).toString()});
}

TEST_F(PanelTest, TheSaveDialogIsAWindowOfItsOwnAndCancelLeavesNoFile)
{
    startRun();
    DiagnosticsSaver& saver = desktop->diagnostics();
    QSignalSpy finished(&saver, &DiagnosticsSaver::exportFinished);
    // Cancelled first, then saved under the name it proposes (home has no Documents here).
    for (const bool accept : {false, true}) {
        saver.exportDiagnostics();
        QFileDialog* dialog = nullptr;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                for (QWidget* w : QApplication::topLevelWidgets()) {
                    if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                        dialog = d;
                }
                return dialog != nullptr;
            },
            30000));
        EXPECT_TRUE(dialog->isWindow());
        if (accept)
            QMetaObject::invokeMethod(dialog, "accept");
        else
            dialog->reject();
        ASSERT_TRUE(finished.wait(30000));
        const QFileInfo saved(saver.diagFileURL().toLocalFile());
        if (!accept) {
            EXPECT_EQ(saver.diagMessage(), u("已取消导出"));
            EXPECT_FALSE(saver.diagFileURL().isValid());
            EXPECT_TRUE(QDir(home.path()).entryList({u("*.txt")}).isEmpty());
            continue;
        }
        EXPECT_TRUE(saved.fileName().startsWith(u("Melodrix诊断_"))) << saved.filePath().toStdString();
        EXPECT_EQ(saved.absolutePath(), QFileInfo(home.path()).absoluteFilePath());
        EXPECT_GT(saved.size(), 0);
        EXPECT_EQ(saver.diagMessage(), u("已保存：") + saved.fileName());
    }
}

TEST_F(PanelTest, AcceptingConsentStoresItClosesTheWindowAndStartsTheChecksOnce)
{
    home.settings().setPrivacyConsent(false);
    KeyLinkCheck::started = false;
    startRun();
    desktop->presentPrivacyConsent();
    ASSERT_NE(desktop->consentWindow(), nullptr) << "the consent view did not load";
    ASSERT_TRUE(QTest::qWaitForWindowExposed(desktop->consentWindow()));
    QObject* consent = desktop->consentWindow()->property("consent").value<QObject*>();
    ASSERT_NE(consent, nullptr);
    QMetaObject::invokeMethod(consent, "accept");
    EXPECT_TRUE(run->settings().privacyConsent());
    EXPECT_FALSE(desktop->consentWindow()->isVisible());
    EXPECT_TRUE(KeyLinkCheck::started);
}

#include "main_panel_test.moc"
