#include "app/app_delegate.h"
#include "app/app_run.h"
#include "app/command_line.h"
#include "app/diagnostics_export.h"
#include "app/quit_signals.h"
#include "app/song_tracker.h"
#include "core/app_identity.h"
#include "core/build_info.h"
#include "core/cancellation.h"
#include "core/settings_store.h"
#include "keydetect/offline_key_test.h"
#include "pluginlink/instance_lock.h"
#include "pluginlink/plugin_ipc.h"
#include "transpose/accompaniment_loop.h"
#include "ui/application_activation.h"
#include "ui/desktop_ui.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <chrono>
#include <cstdio>

namespace {

void describeApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tonivox"));
    // Qt's X11 windows take the application name as their WM_CLASS class.
    QCoreApplication::setApplicationName(QString::fromLatin1(kAppId));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kAppId));
    QCoreApplication::setApplicationVersion(appShortVersion());
}

void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Our windows rely on X11 (always-on-top floating bars on every desktop, pointer tracking
// outside our windows): on a Wayland session they go through XWayland.
void preferX11()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return;
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
        qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
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
        print(stdout, CommandLine::usage(programName, SettingsStore::defaultPath()));
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
    case InstanceLock::Outcome::heldElsewhere: {
        // A second start shows the running instance's panel, as a desktop user expects, or
        // hands it the desktop action it was started for.
        QCoreApplication app(argc, argv);
        describeApplication();
        if (ApplicationActivation::activateRunningInstance(std::chrono::seconds(5), commandLine.desktopAction))
            return 0;
        print(stderr, QStringLiteral("%1: %2\n").arg(programName, instance.failureText()));
        return 1;
    }
    case InstanceLock::Outcome::unavailable:
        // The link directory is unusable, so no second instance can write there either:
        // run, as every other write to it fails silently too.
        print(stderr, QStringLiteral("%1: %2; running without the single-instance check\n")
                          .arg(programName, instance.failureText()));
        break;
    }

    preferX11();
    // A widgets application, so that the save dialog is a real dialog window of its own.
    QApplication app(argc, argv);
    describeApplication();
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Melodrix 声友"));
    // Hidden windows are not a reason to quit: the run lives until the user quits it.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    installQuitSignalHandlers(&app);

    AppRun run;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &run.delegate(), [&run] {
        // The tracker's tasks (a lookup waiting for its answer, a recording) end on the event
        // loop once cancelled: let them end while everything they use still lives, so that
        // none is left suspended when the process ends (a second at most). Then the quit
        // steps, after which nothing writes the plug-in's state file.
        run.tracker().stop();
        const QDeadlineTimer deadline(std::chrono::seconds(1));
        while (cancellation::tasksInFlight() > 0 && !deadline.hasExpired()) {
            QEventLoop slice;
            QTimer::singleShot(20, &slice, &QEventLoop::quit);
            slice.exec();
        }
        run.delegate().applicationShouldTerminate();
    });
    DesktopUi desktop(run);
    run.delegate().applicationDidFinishLaunching();
    // Started for a desktop action with no instance running: this one is it, and does it.
    if (!commandLine.desktopAction.isEmpty())
        run.accompanimentLoop().performActionOnceConnected(commandLine.desktopAction, std::chrono::seconds(10));
    const int status = app.exec();
    return status;
}
