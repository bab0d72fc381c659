#include "app/app_delegate.h"
#include "app/app_run.h"
#include "app/command_line.h"
#include "app/diagnostics_export.h"
#include "app/quit_signals.h"
#include "core/build_info.h"
#include "keydetect/offline_key_test.h"
#include "pluginlink/instance_lock.h"
#include "pluginlink/plugin_ipc.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <cstdio>

namespace {

void describeApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tonivox"));
    QCoreApplication::setApplicationName(QStringLiteral("Tonivox"));
    QCoreApplication::setApplicationVersion(appShortVersion());
}

void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QString programName = QFileInfo(arguments.value(0, QStringLiteral("tonivox"))).fileName();

    const CommandLine commandLine = CommandLine::parse(arguments);
    switch (commandLine.action) {
    case CommandLine::Action::help:
        print(stdout, CommandLine::usage(programName));
        return 0;
    case CommandLine::Action::version:
        print(stdout, QStringLiteral("Tonivox %1\n").arg(appShortVersion()));
        return 0;
    case CommandLine::Action::invalid:
        print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(programName, commandLine.problem));
        return 2;
    case CommandLine::Action::offline: {
        // The offline key tests run instead of everything else: no window, no consent.
        QCoreApplication app(argc, argv);
        describeApplication();
        return runOfflineKeyTest(*commandLine.offlineMode, arguments);
    }
    case CommandLine::Action::exportDiagnostics: {
        // Beside a running program: no instance lock, no window, no syncer.
        QCoreApplication app(argc, argv);
        describeApplication();
        const DiagnosticsExport result = exportDiagnostics(commandLine.exportPath);
        print(result.written ? stdout : stderr,
              result.written ? result.message + QLatin1Char('\n')
                             : QStringLiteral("%1: %2\n").arg(programName, result.message));
        return result.written ? 0 : 1;
    }
    case CommandLine::Action::run:
        break;
    }

    // Before the application object: a second instance needs no display to say so.
    InstanceLock instance(PluginIPC::dir());
    switch (instance.tryLock()) {
    case InstanceLock::Outcome::acquired:
        break;
    case InstanceLock::Outcome::heldElsewhere:
        print(stderr, QStringLiteral("%1: %2\n").arg(programName, instance.failureText()));
        return 1;
    case InstanceLock::Outcome::unavailable:
        // The link directory is unusable, so no second instance can write there either:
        // run, as every other write to it fails silently too.
        print(stderr, QStringLiteral("%1: %2; running without the single-instance check\n")
                          .arg(programName, instance.failureText()));
        break;
    }

    QGuiApplication app(argc, argv);
    describeApplication();
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Melodrix 声友"));
    installQuitSignalHandlers(&app);

    AppRun run;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &run.delegate(),
                     &AppDelegate::applicationShouldTerminate);
    run.delegate().applicationDidFinishLaunching();
    return app.exec();
}
