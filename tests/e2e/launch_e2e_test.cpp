// Starts the real program as a user would (offscreen, temporary HOME) and reads what
// reaches the plug-in link directory.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

namespace {

class Program {
public:
    // `home` empty: a fresh temporary home of its own.
    explicit Program(const QStringList& args = {}, const QString& home = {})
        : m_homePath(home.isEmpty() ? m_home.path() : home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_homePath);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_homePath + QStringLiteral("/.config"));
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
    QString home() const { return m_homePath; }
    QString stateFile() const
    {
        return m_homePath + QStringLiteral("/Library/Application Support/Tonivox/plugin_state.txt");
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
    QString m_homePath;
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
        ASSERT_TRUE(QTest::qWaitFor([&] { return program.state().contains("appRunning=1"); }, 5000));
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

TEST(Launch, ASecondInstanceActivatesTheFirstAndLeavesItRunning)
{
    Program first;
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.state().contains("appRunning=1"); }, 5000));

    // It asks the first, over the session bus, to show its panel, and leaves.
    Program second({}, first.home());
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process().exitCode(), 0) << second.process().readAllStandardError().toStdString();

    // The first keeps the link: after its next heartbeat the file still says it runs.
    const QDateTime before = QFileInfo(first.stateFile()).lastModified();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(first.stateFile()).lastModified() != before; }, 5000));
    EXPECT_TRUE(first.state().contains("appRunning=1"));
    EXPECT_EQ(first.state().count("appRunning"), 1);
    EXPECT_EQ(first.process().state(), QProcess::Running);

    // Once the first has quit, the lock is free again.
    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitForExit());
    Program third({}, first.home());
    ASSERT_TRUE(QTest::qWaitFor([&] { return third.state().contains("appRunning=1"); }, 5000));
}

TEST(Launch, HelpAndVersionAnswerWithoutADisplay)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("/nonexistent/config"));
    const auto run = [&](const QStringList& args) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(TONIVOX_BINARY), args);
        EXPECT_TRUE(process.waitForFinished(10000));
        return std::make_tuple(process.exitCode(), process.readAllStandardOutput(),
                               process.readAllStandardError());
    };
    const auto [helpCode, help, helpErr] = run({QStringLiteral("--help")});
    EXPECT_EQ(helpCode, 0) << helpErr.toStdString();
    EXPECT_TRUE(help.contains("--keytest")) << help.toStdString();
    // The file a user edits to point the program at another key library.
    EXPECT_TRUE(help.contains("Settings: /nonexistent/config/Tonivox/Tonivox.conf")) << help.toStdString();
    EXPECT_TRUE(help.contains("serverBaseURL")) << help.toStdString();
    const auto [versionCode, version, versionErr] = run({QStringLiteral("--version")});
    EXPECT_EQ(versionCode, 0) << versionErr.toStdString();
    EXPECT_TRUE(version.startsWith("Tonivox " TONIVOX_VERSION)) << version.toStdString();
    const auto [badCode, badOut, bad] = run({QStringLiteral("--frobnicate")});
    EXPECT_EQ(badCode, 2);
    EXPECT_TRUE(badOut.isEmpty());
    EXPECT_TRUE(bad.contains("unknown option --frobnicate")) << bad.toStdString();
}

// Support's terminal command beside a running program: the report is written, and the
// program's state file keeps its writer (no second heartbeat, no new seq, no quit record).
TEST(Launch, ExportDiagnosticsBesideARunningProgram)
{
    Program running;
    ASSERT_TRUE(QTest::qWaitFor([&] { return running.state().contains("appRunning=1"); }, 5000));
    // Launch pushes the restored settings; wait until a heartbeat repeats the seq, so any
    // later change of it could only come from the exporter.
    QByteArray seqLine;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QByteArray seen = running.state().split('\n').value(0);
            const QDateTime at = QFileInfo(running.stateFile()).lastModified();
            if (!QTest::qWaitFor([&] { return QFileInfo(running.stateFile()).lastModified() != at; }, 5000))
                return false;
            seqLine = running.state().split('\n').value(0);
            return seqLine == seen;
        },
        20000));

    // The host plug-in's log, 5000 lines each ending with a line feed, as it writes them.
    QFile pluginLog(QFileInfo(running.stateFile()).path() + QStringLiteral("/rigbox_debug.log"));
    ASSERT_TRUE(pluginLog.open(QIODevice::WriteOnly));
    for (int line = 1; line <= 5000; ++line)
        pluginLog.write("plug-in line " + QByteArray::number(line) + '\n');
    pluginLog.close();

    const QString report = running.home() + QStringLiteral("/诊断.txt");
    Program exporter({QStringLiteral("--export-diagnostics"), report}, running.home());
    ASSERT_TRUE(exporter.waitForExit());
    EXPECT_EQ(exporter.process().exitCode(), 0) << exporter.process().readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(exporter.process().readAllStandardOutput()).trimmed(), report);
    QFile file(report);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("IPC 状态文件：存在（修改于 ")));
    EXPECT_TRUE(text.contains(QString::fromUtf8(seqLine)));
    EXPECT_TRUE(text.endsWith(QStringLiteral("如需帮助，请把本文件发给你的调音师或 Melodrix 官方。\n")));
    const QString heading = QStringLiteral("【rigbox_debug.log 最近 100 行】\n");
    const qsizetype tail = text.indexOf(heading);
    ASSERT_GE(tail, 0);
    const QStringList logLines =
        text.mid(tail + heading.size()).section(QStringLiteral("\n\n"), 0, 0).split(QLatin1Char('\n'));
    ASSERT_EQ(logLines.size(), 100);
    EXPECT_EQ(logLines.first(), QStringLiteral("plug-in line 4901"));
    EXPECT_EQ(logLines.last(), QStringLiteral("plug-in line 5000"));

    // The running program's next heartbeat still carries its own seq, and it runs on.
    const QDateTime before = QFileInfo(running.stateFile()).lastModified();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return QFileInfo(running.stateFile()).lastModified() != before; }, 5000));
    EXPECT_EQ(running.state().split('\n').value(0), seqLine);
    EXPECT_TRUE(running.state().contains("appRunning=1"));
    EXPECT_EQ(running.process().state(), QProcess::Running);

    // A file that cannot be written: a clear message and a non-zero exit.
    Program failing({QStringLiteral("--export-diagnostics"), QStringLiteral("/nonexistent/dir/report.txt")},
                    running.home());
    ASSERT_TRUE(failing.waitForExit());
    EXPECT_EQ(failing.process().exitCode(), 1);
    EXPECT_TRUE(
        failing.process().readAllStandardError().contains("cannot write /nonexistent/dir/report.txt"));
}
