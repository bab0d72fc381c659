// The real program started as a user would (offscreen, temporary HOME): what reaches the
// plug-in link directory, one instance at a time, the switches answered without a display,
// and quitting with a recording in flight.
#include "program_e2e.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTest>

namespace {

constexpr char kSeed[] = R"([{"artist": "周杰伦", "title": "晴天", "key": "B 大调"}])";

class LaunchE2E : public ProgramE2E {
protected:
    bool running() const { return stateHas("appRunning=1"); }
    QString seqLine() const { return state().section(QLatin1Char('\n'), 0, 0); }
    // Until the program rewrote its state file (its 2 s heartbeat).
    bool nextHeartbeat() const
    {
        const QDateTime before = QFileInfo(stateFile()).lastModified();
        return QTest::qWaitFor([&] { return QFileInfo(stateFile()).lastModified() != before; }, 5000);
    }
};

} // namespace

// Beside a running program: support's terminal command writes its report and leaves the
// state file to its writer (no new seq, no quit record; what the report says is its own
// tests'); a second start asks the first, over the session bus, to show its panel and leaves.
// SIGTERM and SIGINT both leave exactly the quit record, and free the lock for the next start.
TEST_F(LaunchE2E, OneInstanceRunsBesideTheExporterAndASignalLeavesTheQuitRecord)
{
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return running(); }, 5000));
    EXPECT_TRUE(state().startsWith(u("seq=")));
    EXPECT_TRUE(state().contains(u("\nmeta_key=")) && state().contains(u("\nmeta_song=")))
        << state().toStdString();
    // Launch pushes the restored settings; wait until a heartbeat repeats the seq, so any
    // later change of it could only come from the exporter.
    QString seq;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            seq = seqLine();
            return nextHeartbeat() && seqLine() == seq;
        },
        20000));
    const QString report = home.path() + QStringLiteral("/诊断.txt");
    QProcess exporter;
    launch(exporter, Display::offscreen, {QStringLiteral("--export-diagnostics"), report});
    ASSERT_TRUE(exporter.waitForFinished(10000));
    EXPECT_EQ(exporter.exitCode(), 0) << exporter.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(exporter.readAllStandardOutput()).trimmed(), report);
    EXPECT_TRUE(QString::fromUtf8(readAll(report)).contains(seq)); // it read the running program's link
    ASSERT_TRUE(nextHeartbeat());
    EXPECT_EQ(seqLine(), seq);

    QProcess second;
    launch(second, Display::offscreen);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    ASSERT_TRUE(nextHeartbeat());
    EXPECT_EQ(state().count(u("appRunning")), 1);
    EXPECT_TRUE(running());
    terminate(program, SIGTERM);

    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return running(); }, 5000));
    terminate(program, SIGINT);
}

// Each switch is answered before any display is opened; an offline one or an export diverts
// the process (no link, no window).
TEST_F(LaunchE2E, SwitchesAnswerWithoutADisplay)
{
    const struct {
        QStringList arguments;
        int exitCode; // -1: any failure
        QString out, err;
    } cases[] = {
        {{u("--help")}, 0, u("Settings: ") + settingsPath(), {}}, // the file that names the key library
        {{u("--version")}, 0, u("Tonivox " TONIVOX_VERSION), {}},
        {{u("--frobnicate")}, 2, {}, u("unknown option --frobnicate")},
        {{u("somefile.f32"), u("--v5-features")}, -1, {}, {}},
        {{u("--export-diagnostics"), u("/nonexistent/r.txt")}, 1, {}, u("cannot write /nonexistent/r.txt")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(u(" ")).toStdString());
        QProcess process;
        launch(process, Display::none, c.arguments);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        if (c.exitCode < 0)
            EXPECT_NE(process.exitCode(), 0);
        else
            EXPECT_EQ(process.exitCode(), c.exitCode);
        EXPECT_TRUE(QString::fromUtf8(process.readAllStandardOutput()).contains(c.out));
        EXPECT_TRUE(QString::fromUtf8(process.readAllStandardError()).contains(c.err));
    }
    EXPECT_FALSE(QFile::exists(stateFile()));
}

// Stopped by the system while it listens to an unknown song on the loop's monitor, with a
// recording under way: it quits at once and leaves the quit record.
TEST_F(LaunchE2E, TerminatedWhileListeningLeavesExactlyTheQuitRecord)
{
    startServices(kSeed);
    configure(
        [](SettingsStore& settings) { settings.setAccompanimentChannelUID(QStringLiteral("loop.monitor")); });
    ASSERT_TRUE(announce(u("无名之歌"), u("无名氏")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stateHas("meta_key=半音阶模式"); }, 15000))
        << state().toStdString();
    // A recording has been counted; the next one is under way.
    ASSERT_TRUE(QTest::qWaitFor([&] { return linkFile("detect_debug.log").contains(u("] 采集")); }, 20000));
    terminate(program);
}
