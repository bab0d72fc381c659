#include "app/app_delegate.h"
#include "core/offline_mode.h"
#include "core/settings_store.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_ipc.h"
#include "support/temp_home.h"

#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

TEST(OfflineMode, SwitchesAreFoundAnywhereInTheirFixedOrder)
{
    const auto args = [](std::initializer_list<const char*> list) {
        QStringList out{QStringLiteral("tonivox")};
        for (const char* a : list)
            out.append(QString::fromUtf8(a));
        return out;
    };
    EXPECT_FALSE(detectOfflineMode(args({})).has_value());
    EXPECT_FALSE(detectOfflineMode(args({"--keytests", "-keytest", "keytest"})).has_value());
    EXPECT_EQ(detectOfflineMode(args({"a.wav", "--v5-features", "x"})), OfflineMode::v5Features);
    // The search order decides, not the position in the list.
    EXPECT_EQ(detectOfflineMode(args({"--v5-features", "--keytest-v5", "--keytest"})), OfflineMode::keytest);
    EXPECT_EQ(detectOfflineMode(args({"--v5-resampled-dump", "--v5-pcm-dump"})), OfflineMode::v5PcmDump);
    EXPECT_EQ(detectOfflineMode(args({"--v5-cqt-dump", "--v5-features"})), OfflineMode::v5CqtDump);
    EXPECT_EQ(detectOfflineMode(args({"--keytest-v5"})), OfflineMode::keytestV5);
    EXPECT_EQ(detectOfflineMode(args({"--v5-resampled-dump"})), OfflineMode::v5ResampledDump);
}

// One test drives the whole consent gate because the key-link start flag lives for the
// process, as it does in the application.
TEST(AppDelegate, ConsentGateAndPostLaunchCheckRunOnce)
{
    TempHome home;
    KeyLinkCheck::started = false;

    // Without consent: the consent window is presented about 1.6 s after launch, and no
    // check is scheduled.
    {
        AppDelegate delegate(SettingsStore::shared(), nullptr);
        std::atomic<int> checks{0};
        int presented = 0;
        delegate.setKeyLinkCheck([&] { ++checks; });
        delegate.setConsentPresenter([&] { ++presented; });
        delegate.applicationDidFinishLaunching();
        // Not at launch but on its timer.
        QCoreApplication::processEvents();
        EXPECT_EQ(presented, 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return presented == 1; }, 5000));
        EXPECT_FALSE(KeyLinkCheck::started.load());
        EXPECT_EQ(checks.load(), 0);
    }

    // With consent: no window; the check starts once about 4 s later, on the main thread
    // (it runs its work on its own executor), however often the checks are started.
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
