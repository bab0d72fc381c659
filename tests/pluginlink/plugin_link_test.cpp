// The syncer against the host plug-in simulator, both ways, through real files.
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_files.h"
#include "support/temp_home.h"

#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class Simulator {
public:
    Simulator(const TempHome& home, QStringList args = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(TONIVOX_PLUGIN_SIM), args);
        m_ready = m_process.waitForStarted(5000) && m_process.waitForReadyRead(5000) &&
                  m_process.readLine().startsWith("ready");
    }
    ~Simulator()
    {
        send("quit");
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
    bool ready() const { return m_ready; }
    void send(const QByteArray& line)
    {
        m_process.write(line + '\n');
        m_process.waitForBytesWritten(1000);
    }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    bool m_ready = false;
};

QString applied()
{
    return QString::fromUtf8(readAll(PluginIPC::path("sim_applied.txt")));
}

} // namespace

TEST(PluginLink, StateReachesTheSimulatorAndChangesComeBack)
{
    TempHome home;
    Simulator sim(home, {QStringLiteral("--variant"), QStringLiteral("AutoTune 2026")});
    ASSERT_TRUE(sim.ready());

    AutoTuneSyncer syncer(nullptr);
    syncer.setKeyScale(9, 2);
    const QString seq = QStringLiteral("seq=") + QString::number(*PluginIPC::lastSeq()) + QLatin1Char('\n');
    ASSERT_TRUE(QTest::qWaitFor([&] { return applied().startsWith(seq); }, 5000)) << applied().toStdString();
    EXPECT_TRUE(applied().contains(QStringLiteral("\nkey=9.0000\n")));
    EXPECT_TRUE(applied().contains(QStringLiteral("\nscale=2.0000\n")));

    // The simulator's heartbeat makes the syncer connected with its variant.
    ASSERT_TRUE(QTest::qWaitFor([&] { return syncer.connected(); }, 5000));
    EXPECT_EQ(syncer.hostVariant(), QStringLiteral("AutoTune 2026"));

    // A change set from the plug-in arrives within the poll period.
    sim.send("params retune=0.125 key=4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return syncer.hostParams().contains(QStringLiteral("key")); }, 5000));
    EXPECT_DOUBLE_EQ(syncer.hostParams().value(QStringLiteral("retune")), 0.125);
    EXPECT_DOUBLE_EQ(syncer.hostParams().value(QStringLiteral("key")), 4.0);

    // After a discard the pending set is consumed; a new one still comes through.
    syncer.discardPendingHostParams();
    QTest::qWait(1200);
    EXPECT_TRUE(syncer.hostParams().isEmpty());
    sim.send("params humanize=0.5");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return syncer.hostParams().contains(QStringLiteral("humanize")); }, 5000));

    // The quit record is not applied as parameters.
    const QString before = applied();
    PluginIPC::markAppQuit();
    QTest::qWait(400);
    EXPECT_EQ(applied(), before);
}

TEST(PluginLink, TornFilesRewrittenManyTimesASecondNeverBreakThePoller)
{
    TempHome home;
    Simulator sim(home, {QStringLiteral("--churn")});
    ASSERT_TRUE(sim.ready());
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
    EXPECT_EQ(sim.process().state(), QProcess::Running);
}
