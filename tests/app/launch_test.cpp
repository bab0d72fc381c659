#include "app/app_delegate.h"
#include "core/settings_store.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_ipc.h"
#include "support/temp_home.h"

#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

// One test drives the whole consent gate because the key-link start flag lives for the
// process, as it does in the application.
TEST(AppDelegate, ConsentGateAndPostLaunchCheckRunOnce)
{
    TempHome home;
    KeyLinkCheck::started = false;

    // Without consent: the consent window comes on its timer, and no check is scheduled.
    {
        AppDelegate delegate(SettingsStore::shared(), nullptr);
        std::atomic<int> checks{0};
        int presented = 0;
        delegate.setKeyLinkCheck([&] { ++checks; });
        delegate.setConsentPresenter([&] { ++presented; });
        delegate.applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        EXPECT_EQ(presented, 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return presented == 1; }, 5000));
        EXPECT_FALSE(KeyLinkCheck::started.load());
        EXPECT_EQ(checks.load(), 0);
    }

    // With consent: no window; the check starts once, later, on the main thread (it runs its
    // work on its own executor), however often the checks are started.
    SettingsStore::shared().setPrivacyConsent(true);
    AppDelegate delegate(SettingsStore::shared(), nullptr);
    std::atomic<int> checks{0};
    std::atomic<bool> onMainThread{false};
    const auto mainThread = std::this_thread::get_id();
    int presented = 0;
    delegate.setKeyLinkCheck([&] {
        onMainThread = std::this_thread::get_id() == mainThread;
        ++checks;
    });
    delegate.setConsentPresenter([&] { ++presented; });
    delegate.applicationDidFinishLaunching();
    delegate.startPostLaunchChecks();
    QCoreApplication::processEvents();
    EXPECT_EQ(checks.load(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return checks.load() == 1; }, 8000));
    QTest::qWait(300);
    EXPECT_EQ(checks.load(), 1);
    EXPECT_TRUE(onMainThread.load());
    EXPECT_EQ(presented, 0);
    EXPECT_TRUE(KeyLinkCheck::started.load());
}

TEST(AppDelegate, QuitStepsWriteTheQuitRecordThenStopTheTransposer)
{
    TempHome home;
    AppDelegate delegate(SettingsStore::shared(), nullptr);
    QByteArray seenByStop;
    int stops = 0;
    delegate.setTransposerStop([&] {
        seenByStop = readAll(PluginIPC::file());
        ++stops;
    });
    delegate.applicationDidFinishLaunching();
    PluginIPC::write({{QStringLiteral("key"), 5}}, false);
    delegate.applicationShouldTerminate();
    delegate.applicationShouldTerminate();
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(seenByStop.endsWith("\nappRunning=0\n")) << seenByStop.toStdString();
    EXPECT_EQ(readAll(PluginIPC::file()).count('\n'), 2);
}
