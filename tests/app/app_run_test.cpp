#include "app/app_delegate.h"
#include "app/app_run.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "support/run_task.h"
#include "support/temp_home.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

AppRun::Paths pathsIn(const TempHome& home, const char* settingsName)
{
    return {home.path() + QLatin1Char('/') + QLatin1String(settingsName), home.path(), home.path()};
}

} // namespace

// Two runs, one after the other, in one process and without any reset in between: each
// owns its objects, the shared views follow the living owner, and nothing dangles after.
TEST(AppRun, OwnsItsObjectsAndLendsThemAsSharedViews)
{
    TempHome home;
    SettingsStore& before = SettingsStore::shared();
    for (const char* name : {"first.conf", "second.conf"}) {
        {
            AppRun run(pathsIn(home, name));
            EXPECT_EQ(&SettingsStore::shared(), &run.settings());
            EXPECT_EQ(&AppState::shared(), &run.state());
            EXPECT_EQ(run.delegate().syncer(), &run.syncer());
            // The report reads this run's player readers, not fixed locations.
            const DiagnosticExporter::Sources sources = run.diagnosticSources();
            EXPECT_NE(sources.kugou, nullptr);
            EXPECT_NE(sources.qqMusic, nullptr);
            EXPECT_NE(sources.netease, nullptr);
            EXPECT_NE(sources.applications, nullptr);
            EXPECT_TRUE(run.settings().path().endsWith(QLatin1String(name)));
            run.settings().setLastUsedTranspose(-2);

            // The state's metadata reaches the plug-in's state file.
            run.state().setCurrent(Song{u("晴天"), u("周杰伦")});
            run.state().setKeyText(u("Db 大调"));
            run.state().setSongSource(u("QQ音乐"));
            run.syncer().setKeyScale(1, 1);
            const QByteArray text = readAll(PluginIPC::file());
            EXPECT_TRUE(text.contains("meta_key=C#/Db 大调\n")) << text.toStdString();
            EXPECT_TRUE(text.contains("meta_song=周杰伦 - 晴天\n"));
            EXPECT_TRUE(text.contains("meta_source=QQ音乐\n"));
            EXPECT_FALSE(text.contains("meta_detail")); // empty values give no line
        }
        drainCancelledTasks();
        // Gone: the settings view is the test's again and the metadata went with the state.
        EXPECT_EQ(&SettingsStore::shared(), &before);
        PluginIPC::write({}, false);
        EXPECT_FALSE(readAll(PluginIPC::file()).contains("meta_"));
    }
    // Each run wrote to its own settings file.
    EXPECT_EQ(SettingsStore(home.path() + QStringLiteral("/first.conf")).lastUsedTranspose(), -2);
    EXPECT_EQ(SettingsStore(home.path() + QStringLiteral("/second.conf")).lastUsedTranspose(), -2);
}

// The launch's first step removes the plug-in's old-name bundle (today nothing ships to
// copy), off the main thread; the check waits for it.
TEST(AppRun, LaunchRemovesTheOldPluginBundle)
{
    TempHome home;
    const QString old = home.path() + QStringLiteral("/.vst3/Rigbox.vst3");
    ASSERT_TRUE(writeFile(old + QStringLiteral("/Contents/x.so"), "old"));
    {
        AppRun run(pathsIn(home, "launch.conf"));
        run.delegate().applicationDidFinishLaunching();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !QFile::exists(old); }, 10'000));
        EXPECT_EQ(run.settings().pluginInstalledForAppVersion(), std::nullopt);
    }
    drainCancelledTasks();
}
