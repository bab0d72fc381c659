// Host plug-in simulator for tests: plays the plug-in's side of the file link.
//
//   tonivox-plugin-sim [--dir DIR] [--churn]
//
// - rewrites "rigbox_alive.txt" with a "variant" line every second;
// - on standard input, "params NAME=VALUE ..." writes a change set with a fresh seq into
//   "plugin_params_back.txt" and prints "wrote seq=N"; "stop-alive" stops the heartbeat;
// - --churn rewrites the alive and parameters-back files in place (truncate, then write in
//   pieces) every few milliseconds, so readers see torn files.
#include "pluginlink/plugin_ipc.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <unistd.h>

namespace {

struct Simulator {
    QString dir;
    bool alive = true;
    qint64 backSeq = 0;

    QString file(const char* name) const { return dir + QLatin1Char('/') + QLatin1String(name); }

    void writeAlive() const
    {
        if (alive)
            PluginIPC::writeAtomically(file(PluginIPC::kAliveFile), "variant=Auto-Tune Pro\n");
    }

    void writeParamsBack(const QStringList& assignments)
    {
        // A fresh seq for every change set, as the application relies on.
        backSeq = std::max(backSeq + 1, QDateTime::currentMSecsSinceEpoch());
        QByteArray text = "seq=" + QByteArray::number(backSeq) + '\n';
        for (const QString& a : assignments)
            text += a.toUtf8() + '\n';
        PluginIPC::writeAtomically(file(PluginIPC::kParamsBackFile), text);
        std::printf("wrote seq=%lld\n", static_cast<long long>(backSeq));
        std::fflush(stdout);
    }

    void churnOnce() const
    {
        auto* rng = QRandomGenerator::global();
        const QByteArray back = "seq=" + QByteArray::number(rng->bounded(1, 1000)) +
                                "\nretune=" + QByteArray::number(rng->bounded(100)) +
                                "\nkey=" + QByteArray::number(rng->bounded(12)) + "\n";
        for (const auto& [name, bytes] :
             {std::pair{PluginIPC::kParamsBackFile, back},
              std::pair{PluginIPC::kAliveFile, QByteArray("variant=Auto-Tune Pro\n")}}) {
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
        const QString verb = words.isEmpty() ? QString() : words.takeFirst();
        if (verb == QLatin1String("params"))
            writeParamsBack(words);
        else if (verb == QLatin1String("stop-alive"))
            alive = false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Simulator sim;
    sim.dir = PluginIPC::dir();
    const QStringList args = app.arguments();
    const qsizetype dirAt = args.indexOf(QLatin1String("--dir"));
    if (dirAt > 0 && dirAt + 1 < args.size())
        sim.dir = args[dirAt + 1];
    QDir().mkpath(sim.dir);

    QTimer aliveTimer;
    QObject::connect(&aliveTimer, &QTimer::timeout, [&] { sim.writeAlive(); });
    aliveTimer.start(1000);
    sim.writeAlive();

    QTimer churnTimer;
    QObject::connect(&churnTimer, &QTimer::timeout, [&] { sim.churnOnce(); });
    if (args.contains(QLatin1String("--churn")))
        churnTimer.start(3);

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
        for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0; pending.remove(0, nl + 1))
            sim.command(QString::fromUtf8(pending.left(nl)));
    });

    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
