// tonivox-keylib-server: a small key-library server for development and tests.
#include "key_library.h"
#include "keylib_server.h"
#include "request_log.h"
#include "server_options.h"

#include <QFile>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>

namespace {

int fail(const QString& message)
{
    std::fprintf(stderr, "tonivox-keylib-server: %s\n", message.toLocal8Bit().constData());
    return 2;
}

std::optional<QByteArray> readFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        std::fputs(serverUsage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    auto parsed = parseServerOptions(arguments);
    if (const auto* message = std::get_if<QString>(&parsed))
        return fail(*message);
    const ServerOptions options = std::get<ServerOptions>(std::move(parsed));

    QString error;
    const auto library = KeyLibrary::open(options.dbPath, &error);
    if (!library)
        return fail(error);
    if (options.seedPath) {
        const auto seed = readFile(*options.seedPath, &error);
        if (!seed)
            return fail(error);
        if (const auto problem = library->seed(*seed))
            return fail(QStringLiteral("%1: %2").arg(*options.seedPath, *problem));
    }
    std::optional<QByteArray> answerBody;
    if (options.answerBodyPath) {
        answerBody = readFile(*options.answerBodyPath, &error);
        if (!answerBody)
            return fail(error);
    }
    RequestLog log;
    if (!log.open(options.logPath ? &*options.logPath : nullptr))
        return fail(QStringLiteral("cannot open the request log %1").arg(*options.logPath));

    // SIGINT and SIGTERM are taken by one thread that stops the server, so that the
    // database is closed properly; the worker threads inherit the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    KeylibServer server(options, *library, log, std::move(answerBody));
    const auto port = server.bind();
    if (!port)
        return fail(QStringLiteral("cannot listen on %1:%2").arg(options.host).arg(options.port));
    std::printf("listening on http://%s:%d\n", options.host.toLocal8Bit().constData(), *port);
    std::fflush(stdout);

    std::thread([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    }).detach();
    return server.run() ? 0 : 1;
}
