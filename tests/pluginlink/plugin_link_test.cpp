// The syncer's poller against the host plug-in simulator rewriting its files in torn pieces.
// (The link both ways with the real program: the song end-to-end test.)
#include "pluginlink/auto_tune_syncer.h"
#include "support/temp_home.h"

#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

TEST(PluginLink, TornFilesRewrittenManyTimesASecondNeverBreakThePoller)
{
    TempHome home;
    QProcess sim;
    sim.start(QStringLiteral(TONIVOX_PLUGIN_SIM),
              {QStringLiteral("--dir"), PluginIPC::dir(), QStringLiteral("--churn")});
    ASSERT_TRUE(sim.waitForStarted(5000) && sim.waitForReadyRead(5000) && sim.readLine().startsWith("ready"));
    AutoTuneSyncer syncer(nullptr);
    ASSERT_TRUE(
        QTest::qWaitFor([] { return QFile::exists(PluginIPC::path(PluginIPC::kParamsBackFile)); }, 5000));
    int applied = 0;
    for (int poll = 0; poll < 400; ++poll) {
        const auto seqBefore = syncer.hostParamsSeq();
        syncer.poll();
        applied += syncer.hostParamsSeq() != seqBefore ? 1 : 0;
        for (auto it = syncer.hostParams().cbegin(); it != syncer.hostParams().cend(); ++it)
            ASSERT_TRUE(it.key() == QLatin1String("retune") || it.key() == QLatin1String("key"))
                << it.key().toStdString();
        QTest::qWait(2);
    }
    EXPECT_GT(applied, 0);
    EXPECT_EQ(sim.state(), QProcess::Running);
    sim.kill();
    sim.waitForFinished(3000);
}
