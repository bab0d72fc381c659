// Starts the real program as a user would (offscreen, temporary HOME) and reads what
// reaches the plug-in link directory.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

namespace {

class Program {
public:
    explicit Program(const QStringList& args = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/.config"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(TONIVOX_BINARY), args);
        m_process.waitForStarted(5000);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    QString home() const { return m_home.path(); }
    QString stateFile() const
    {
        return m_home.path() + QStringLiteral("/Library/Application Support/Tonivox/plugin_state.txt");
    }
    QByteArray state() const
    {
        QFile f(stateFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Never pid 0: that would signal the test's own process group.
    void signal(int sig)
    {
        const qint64 pid = m_process.processId();
        ASSERT_GT(pid, 0) << "the program is not running";
        ::kill(static_cast<pid_t>(pid), sig);
    }
    bool waitForExit() { return m_process.waitForFinished(10000); }
    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_home;
    QProcess m_process;
};

void expectQuitRecord(const QByteArray& state)
{
    const QList<QByteArray> lines = state.split('\n');
    ASSERT_EQ(lines.size(), 3) << state.toStdString();
    EXPECT_TRUE(lines[0].startsWith("seq="));
    EXPECT_GT(lines[0].mid(4).toLongLong(), 0);
    EXPECT_EQ(lines[1], QByteArray("appRunning=0"));
    EXPECT_EQ(lines[2], QByteArray());
}

} // namespace

TEST(Launch, StateFileWithinTwoSecondsAndQuitRecordOnSignals)
{
    for (int sig : {SIGTERM, SIGINT}) {
        Program program;
        ASSERT_EQ(program.process().state(), QProcess::Running);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return program.state().contains("appRunning=1"); }, 5000));
        EXPECT_LT(clock.elapsed(), 3500);
        const QByteArray running = program.state();
        EXPECT_TRUE(running.startsWith("seq="));
        EXPECT_TRUE(running.contains("\nmeta_key=")) << running.toStdString();
        EXPECT_TRUE(running.contains("\nmeta_song=")) << running.toStdString();

        program.signal(sig);
        ASSERT_TRUE(program.waitForExit());
        EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit) << "signal " << sig;
        EXPECT_EQ(program.process().exitCode(), 0);
        expectQuitRecord(program.state());
    }
}

TEST(Launch, QuitBeforeTheFirstWriteLeavesNoStateFile)
{
    Program program;
    ASSERT_EQ(program.process().state(), QProcess::Running);
    QTest::qWait(700);
    ASSERT_FALSE(QFile::exists(program.stateFile()));
    program.signal(SIGTERM);
    ASSERT_TRUE(program.waitForExit());
    EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit);
    EXPECT_FALSE(QFile::exists(program.stateFile()));
}

TEST(Launch, AnOfflineSwitchAnywhereDivertsTheProcess)
{
    Program program({QStringLiteral("somefile.f32"), QStringLiteral("--v5-features")});
    ASSERT_TRUE(program.waitForExit());
    EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit);
    EXPECT_NE(program.process().exitCode(), 0);
    EXPECT_FALSE(QFile::exists(program.stateFile()));
}

TEST(Launch, KeepsRunningWhenTheLinkDirectoryCannotBeCreated)
{
    Program program;
    // "Library" becomes a file before the first heartbeat, so every write must fail.
    QFile blocker(program.home() + QStringLiteral("/Library"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QTest::qWait(4500);
    EXPECT_EQ(program.process().state(), QProcess::Running);
    program.signal(SIGTERM);
    ASSERT_TRUE(program.waitForExit());
    EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.process().exitCode(), 0);
}
