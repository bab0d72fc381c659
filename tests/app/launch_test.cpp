#include "app/app_delegate.h"
#include "core/settings_store.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_ipc.h"
#include "support/temp_home.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

// One test drives the whole consent gate because the key-link start flag lives for the
// process, as it does in the application. Without consent the consent window comes on its
// timer and no check is scheduled; with it, no window, and the check starts once, later, on
// the main thread (it runs its work on its own executor), however often it is started.
TEST(AppDelegate, ConsentGateAndPostLaunchCheckRunOnce)
{
    TempHome home;
    KeyLinkCheck::started = false;
    const auto mainThread = std::this_thread::get_id();
    for (const bool consent : {false, true}) {
        SCOPED_TRACE(consent);
        SettingsStore::shared().setPrivacyConsent(consent);
        AppDelegate delegate(SettingsStore::shared(), nullptr);
        std::atomic<int> checks{0};
        std::atomic<bool> onMainThread{false};
        int presented = 0;
        delegate.setKeyLinkCheck([&] {
            onMainThread = std::this_thread::get_id() == mainThread;
            ++checks;
        });
        delegate.setConsentPresenter([&] { ++presented; });
        delegate.applicationDidFinishLaunching();
        if (consent)
            delegate.startPostLaunchChecks();
        QCoreApplication::processEvents();
        EXPECT_EQ(checks.load() + presented, 0);
        // Armed after every start and due no sooner than any of their timers: once it fired,
        // a second check or window would have come already.
        bool passed = false;
        QTimer::singleShot(AppDelegate::kPostLaunchDelay_ms, Qt::PreciseTimer, [&] { passed = true; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return passed; }, 8000));
        EXPECT_EQ(checks.load(), consent ? 1 : 0);
        EXPECT_EQ(presented, consent ? 0 : 1);
        EXPECT_EQ(onMainThread.load(), consent);
        EXPECT_EQ(KeyLinkCheck::started.load(), consent);
    }
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
