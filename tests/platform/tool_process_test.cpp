#include "platform/tool_process.h"
#include "support/temp_home.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using platform::runTool;
using platform::ToolLimits;
using platform::ToolRun;

namespace {

// A shell script in a temporary folder; `file` names another file beside it.
class Script {
public:
    explicit Script(const QByteArray& body)
    {
        writeFile(path(), "#!/bin/sh\n" + body);
        QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString path() const { return file("tool"); }
    QString file(const char* name) const { return m_dir.filePath(QLatin1String(name)); }

private:
    QTemporaryDir m_dir;
};

// Whether the process whose id the file holds still runs, given a moment to finish dying (a
// zombie awaiting its new parent counts as ended).
bool processAlive(const QString& pidFile)
{
    const QString pid = QString::fromLatin1(readAll(pidFile).trimmed());
    auto running = [&] {
        const QByteArray text =
            pid.isEmpty() ? QByteArray() : readAll(QStringLiteral("/proc/%1/stat").arg(pid));
        return text.contains(')') && text.mid(text.lastIndexOf(')') + 2, 1) != "Z";
    };
    for (int i = 0; i < 500 && running(); ++i)
        std::this_thread::sleep_for(10ms);
    return running();
}

const ToolLimits kShortLimits{500ms, 200ms, 200ms};

} // namespace

// Output far beyond a pipe's size is drained while the tool runs and only its bounded tail
// kept; stderr joins stdout, and arguments pass verbatim.
TEST(RunTool, DrainsLargeOutputKeepsItsTailAndPassesArgumentsVerbatim)
{
    Script tool("head -c 1048576 /dev/zero | tr '\\0' 'x'; printf '[%s]' \"$@\"; echo err >&2; exit 7\n");
    ToolLimits limits;
    limits.maxOutputBytes = 1000;
    const ToolRun run =
        runTool(tool.path(), {QStringLiteral("VST "), QString(), QStringLiteral("8:0")}, limits);
    ASSERT_EQ(run.end, ToolRun::End::exited) << run.error.toStdString();
    EXPECT_EQ(run.exitCode, 7);
    EXPECT_TRUE(run.outputTruncated);
    EXPECT_EQ(run.output.size(), 1000);
    EXPECT_TRUE(run.output.endsWith("xxx[VST ][][8:0]err\n")) << run.output.right(40).toStdString();
}

// The tool exits but leaves a child that holds the pipe: the call still returns, and the
// child is ended with the tool's group.
TEST(RunTool, ChildHoldingThePipeDoesNotKeepTheCallWaiting)
{
    Script tool("sleep 1000 &\necho $! > \"$(dirname \"$0\")/child\"\necho done\nexit 0\n");
    const ToolRun run = runTool(tool.path(), {}, kShortLimits);
    ASSERT_EQ(run.end, ToolRun::End::exited);
    EXPECT_EQ(run.output, QByteArray("done\n"));
    EXPECT_FALSE(run.outputTruncated);
    EXPECT_FALSE(processAlive(tool.file("child")));
}

// A tool that ignores SIGTERM and whose child ignores it too is killed after the grace.
TEST(RunTool, TimeOutEndsTheWholeGroupEvenWhenItIgnoresSigterm)
{
    Script tool("trap '' TERM\n(trap '' TERM; sleep 1000) &\necho $! > \"$(dirname \"$0\")/child\"\n"
                "while :; do sleep 1; done\n");
    EXPECT_EQ(runTool(tool.path(), {}, kShortLimits).end, ToolRun::End::timedOut);
    EXPECT_FALSE(processAlive(tool.file("child")));
}

// (A file that is not executable fails in the same spawn call as a missing one.)
TEST(RunTool, StopRequestEndsARunningToolAndAMissingToolIsNotStarted)
{
    // The tool tells it has started; the stop comes only then.
    Script tool("touch \"$(dirname \"$0\")/started\"\nsleep 1000\n");
    std::stop_source stop;
    std::thread stopper([&] {
        while (!QFile::exists(tool.file("started")))
            std::this_thread::sleep_for(10ms);
        stop.request_stop();
    });
    EXPECT_EQ(runTool(tool.path(), {}, ToolLimits{90s, 200ms}, stop.get_token()).end, ToolRun::End::stopped);
    stopper.join();

    const ToolRun missing = runTool(QStringLiteral("/nonexistent/keycheck"), {}, {});
    EXPECT_EQ(missing.end, ToolRun::End::notStarted);
    EXPECT_FALSE(missing.error.isEmpty());
}
