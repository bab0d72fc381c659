// Host plug-in simulator for tests: plays the plug-in's side of the file link.
//
//   tonivox-plugin-sim [--dir DIR] [--variant NAME] [--churn]
//
// - reads "plugin_state.txt" every 100 ms; when "appRunning" is 1 and the seq is new it
//   applies the parameters: "sim_applied.txt" then holds "seq=N" and the applied lines;
// - rewrites "rigbox_alive.txt" with a "variant" line every second;
// - on standard input, "params NAME=VALUE ..." writes a change set with a fresh seq into
//   "plugin_params_back.txt", "variant NAME" changes the variant, "stop-alive" stops the
//   heartbeat, "quit" ends the simulator;
// - --churn rewrites the alive and parameters-back files in place (truncate, then
//   write in pieces) every few milliseconds, so readers see torn files.
#include "pluginlink/plugin_files.h"
#include "pluginlink/plugin_ipc.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <unistd.h>

namespace {

struct Simulator {
    QString dir;
    QString variant = QStringLiteral("Auto-Tune Pro");
    bool alive = true;
    qint64 appliedSeq = -1;
    qint64 backSeq = 0;

    QString file(const char* name) const { return dir + QLatin1Char('/') + QLatin1String(name); }

    void log(const QString& line) const
    {
        QFile f(file(PluginIPC::kPluginLogFile));
        if (f.open(QIODevice::WriteOnly | QIODevice::Append))
            f.write(QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' ' + line.toUtf8() +
                    '\n');
    }

    void writeAlive() const
    {
        if (alive)
            PluginIPC::writeAtomically(file(PluginIPC::kAliveFile), "variant=" + variant.toUtf8() + '\n');
    }

    void readState()
    {
        const auto text = plugin_files::readUtf8File(file(PluginIPC::kStateFile));
        if (!text)
            return;
        std::optional<qint64> seq;
        bool running = false;
        QByteArray applied;
        for (const auto& nv : plugin_files::nameValueLines(*text)) {
            if (nv.name == QLatin1String("seq"))
                seq = plugin_files::parseSeq(nv.value);
            else if (nv.name == QLatin1String("appRunning"))
                running = nv.value == QLatin1String("1");
            else
                applied += nv.name.toUtf8() + '=' + nv.value.toUtf8() + '\n';
        }
        if (!seq || !running || *seq == appliedSeq)
            return;
        appliedSeq = *seq;
        PluginIPC::writeAtomically(file("sim_applied.txt"),
                                   "seq=" + QByteArray::number(*seq) + '\n' + applied);
        log(QStringLiteral("applied seq %1").arg(*seq));
    }

    void writeParamsBack(const QStringList& assignments)
    {
        // A fresh seq for every change set, as the application relies on.
        backSeq = std::max(backSeq + 1, QDateTime::currentMSecsSinceEpoch());
        QByteArray text = "seq=" + QByteArray::number(backSeq) + '\n';
        for (const QString& a : assignments)
            text += a.toUtf8() + '\n';
        PluginIPC::writeAtomically(file(PluginIPC::kParamsBackFile), text);
        std::fprintf(stdout, "wrote seq=%lld\n", static_cast<long long>(backSeq));
        std::fflush(stdout);
    }

    void churnOnce() const
    {
        auto* rng = QRandomGenerator::global();
        const QByteArray back = "seq=" + QByteArray::number(rng->bounded(1, 1000)) +
                                "\nretune=" + QByteArray::number(rng->bounded(100)) +
                                "\nkey=" + QByteArray::number(rng->bounded(12)) + "\n";
        const QByteArray aliveText = "variant=" + variant.toUtf8() + "\n";
        for (const auto& [name, bytes] :
             {std::pair{PluginIPC::kParamsBackFile, back}, std::pair{PluginIPC::kAliveFile, aliveText}}) {
            QFile f(file(name));
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                continue;
            const qsizetype cut = rng->bounded(static_cast<int>(bytes.size()) + 1);
            f.write(bytes.left(cut));
            f.flush();
            f.write(bytes.mid(cut));
        }
    }

    void command(const QString& line)
    {
        QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty())
            return;
        const QString verb = words.takeFirst();
        if (verb == QLatin1String("params")) {
            writeParamsBack(words);
        } else if (verb == QLatin1String("variant")) {
            variant = words.join(QLatin1Char(' '));
            writeAlive();
        } else if (verb == QLatin1String("stop-alive")) {
            alive = false;
        } else if (verb == QLatin1String("quit")) {
            QCoreApplication::quit();
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Simulator sim;
    sim.dir = PluginIPC::dir();
    bool churn = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--dir") && i + 1 < args.size())
            sim.dir = args[++i];
        else if (args[i] == QLatin1String("--variant") && i + 1 < args.size())
            sim.variant = args[++i];
        else if (args[i] == QLatin1String("--churn"))
            churn = true;
    }
    QDir().mkpath(sim.dir);

    QTimer stateTimer;
    QObject::connect(&stateTimer, &QTimer::timeout, [&] { sim.readState(); });
    stateTimer.start(100);

    QTimer aliveTimer;
    QObject::connect(&aliveTimer, &QTimer::timeout, [&] { sim.writeAlive(); });
    aliveTimer.start(1000);
    sim.writeAlive();

    QTimer churnTimer;
    if (churn) {
        QObject::connect(&churnTimer, &QTimer::timeout, [&] { sim.churnOnce(); });
        churnTimer.start(3);
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, n);
        qsizetype nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            sim.command(QString::fromUtf8(pending.left(nl)));
            pending.remove(0, nl + 1);
        }
    });

    std::fprintf(stdout, "ready\n");
    std::fflush(stdout);
    return app.exec();
}
