// The whole program as a user runs it, on the test services' X display: its resident memory
// with the main panel shown, and its own CPU time over a minute of idling with the panel
// hidden (no player, no song: the polls, the heartbeat and the interface at rest).
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>
#include <unistd.h>

namespace {

class Program {
public:
    Program()
    {
        QDir().mkpath(m_home.path() + QStringLiteral("/.config/Tonivox"));
        QFile settings(m_home.path() + QStringLiteral("/.config/Tonivox/Tonivox.conf"));
        if (settings.open(QIODevice::WriteOnly))
            settings.write("[General]\nprivacy_consent_v1=true\n");
        settings.close();
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("HOME"), m_home.path());
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/.config"));
        m_env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        m_process.setProcessEnvironment(m_env);
        m_process.start(QStringLiteral(TONIVOX_BINARY), {});
        m_process.waitForStarted(5000);
        // Running once its link file says so.
        const QString state = m_home.path() + QStringLiteral("/Library/Application Support/Tonivox/plugin_state.txt");
        for (int i = 0; i < 100 && !QFile::exists(state); ++i)
            QThread::msleep(100);
    }
    ~Program()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
    // A second start shows the first one's panel.
    bool showPanel()
    {
        QProcess second;
        second.setProcessEnvironment(m_env);
        second.start(QStringLiteral(TONIVOX_BINARY), {});
        return second.waitForFinished(10000) && second.exitCode() == 0;
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QTemporaryDir m_home;
    QProcessEnvironment m_env;
    QProcess m_process;
};

// "VmRSS:" of /proc/<pid>/status, in kB.
double residentKB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble();
    }
    return -1;
}

// utime + stime of /proc/<pid>/stat, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces and is closed by the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}

void BM_ResidentMemoryWithPanelShown(benchmark::State& state)
{
    for (auto _ : state) {
        Program program;
        if (!program.showPanel()) {
            state.SkipWithError("the second start did not reach the program");
            return;
        }
        QThread::sleep(3); // the panel drawn and settled
        state.counters["rss_MB"] = residentKB(program.pid()) / 1024.0;
    }
}
BENCHMARK(BM_ResidentMemoryWithPanelShown)->Iterations(1)->Unit(benchmark::kSecond);

void BM_IdleCpuWithPanelHidden(benchmark::State& state)
{
    constexpr int kSeconds = 60;
    for (auto _ : state) {
        Program program;
        QThread::sleep(5); // launch work done
        const double before = cpuSeconds(program.pid());
        QThread::sleep(kSeconds);
        const double after = cpuSeconds(program.pid());
        state.counters["cpu_percent_of_core"] = (after - before) / kSeconds * 100.0;
        state.counters["rss_MB"] = residentKB(program.pid()) / 1024.0;
    }
}
BENCHMARK(BM_IdleCpuWithPanelHidden)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
