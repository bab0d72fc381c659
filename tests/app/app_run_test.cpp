#include "app/app_delegate.h"
#include "app/app_run.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "pluginlink/tuning_controls.h"
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
            const DiagnosticExporter::Sources s = run.diagnosticSources();
            EXPECT_TRUE(s.kugou && s.qqMusic && s.netease && s.applications);
            EXPECT_TRUE(run.settings().path().endsWith(QLatin1String(name)));
            run.settings().setLastUsedTranspose(-2);

            // The state's metadata reaches the plug-in's state file.
            run.state().setCurrent(Song{u("晴天"), u("周杰伦")});
            run.state().setKeyText(u("Db 大调"));
            run.syncer().setKeyScale(1, 1);
            const QByteArray text = readAll(PluginIPC::file());
            EXPECT_TRUE(text.contains("meta_key=C#/Db 大调\nmeta_song=周杰伦 - 晴天\n"))
                << text.toStdString();
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

// The plug-in's change sets count while it is connected; one it leaves while it is away (its
// alive file stale) is dropped, and stays dropped once it comes back.
TEST(AppRun, AChangeSetFromAPluginThatIsAwayIsDropped)
{
    TempHome home;
    {
        AppRun run(pathsIn(home, "away.conf"));
        run.tuning().setHostParamsReady();
        const QString alive = PluginIPC::path(PluginIPC::kAliveFile);
        const QString back = PluginIPC::path(PluginIPC::kParamsBackFile);
        ASSERT_TRUE(writeFile(alive, "variant=Auto-Tune Pro\n"));
        run.syncer().poll();
        ASSERT_TRUE(writeFile(back, "seq=1\nretune=0.2\n"));
        run.syncer().poll();
        EXPECT_FLOAT_EQ(run.state().retune(), 0.2);

        ASSERT_TRUE(setAge(alive, 10.0));
        run.syncer().poll();
        EXPECT_FALSE(run.syncer().connected());
        ASSERT_TRUE(writeFile(back, "seq=2\nretune=0.9\n"));
        run.syncer().poll();
        EXPECT_FLOAT_EQ(run.state().retune(), 0.2);
        ASSERT_TRUE(writeFile(alive, "variant=Auto-Tune Pro\n"));
        run.syncer().poll();
        run.syncer().poll();
        EXPECT_TRUE(run.syncer().connected());
        EXPECT_NE(run.state().retune(), 0.9);
    }
    drainCancelledTasks();
}
