#include "app/app_delegate.h"
#include "app/app_state.h"
#include "app/build_info.h"
#include "app/offline_mode.h"
#include "app/quit_signals.h"
#include "app/settings_store.h"
#include "keydetect/offline_key_test.h"
#include "players/now_playing.h"
#include "players/now_playing_artwork_reader.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace {
void describeApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tonivox"));
    QCoreApplication::setApplicationName(QStringLiteral("Tonivox"));
    QCoreApplication::setApplicationVersion(appShortVersion());
}
} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    // The offline key tests run instead of everything else: no window, no consent.
    if (const auto mode = detectOfflineMode(arguments)) {
        QCoreApplication app(argc, argv);
        describeApplication();
        return runOfflineKeyTest(*mode, arguments);
    }

    QGuiApplication app(argc, argv);
    describeApplication();
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Melodrix 声友"));
    installQuitSignalHandlers(&app);

    AppState::shared().setNowPlayingReader(std::make_shared<NowPlayingArtworkReader>(NowPlaying::shared()));
    AppDelegate delegate(SettingsStore::shared());
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationShouldTerminate);
    delegate.applicationDidFinishLaunching();
    return app.exec();
}
