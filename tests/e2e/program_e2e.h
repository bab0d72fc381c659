#pragma once

// The set-up the end-to-end tests share: the real program in a temporary home on a private
// bus and, on request, a process named "qqmusic" that announces songs over MPRIS and the key
// library on loopback seeded with the test's songs.
#include "core/settings_store.h"
#include "players/player_fixtures.h"
#include "support/child_process.h"
#include "support/keylib_server_process.h"
#include "support/temp_home.h"
#include "support/text.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>

class ProgramE2E : public ::testing::Test {
protected:
    enum class Display { offscreen, screen, none };

    void TearDown() override { stopProgram(); }

    // The key library (seeded with `seedJson`, started with `serverArguments`), stored with the
    // user's consent, and the player, not yet playing.
    void startServices(const char* seedJson, QStringList serverArguments = {})
    {
        const QString seed = KeylibServerProcess::writeTemp(files, QStringLiteral("seed.json"), seedJson);
        server = std::make_unique<KeylibServerProcess>(serverArguments << QStringLiteral("--seed") << seed);
        ASSERT_TRUE(server->started());
        configure([this](SettingsStore& settings) {
            settings.setPrivacyConsent(true);
            settings.setServerBaseURL(server->baseURL());
            settings.setAccessToken(QStringLiteral("e2e-token"));
        });
        player = std::make_unique<FakePlayer>(u("qqmusic"), QStringList{u("--mpris"), u("qqmusic")},
                                              bus.address());
        ASSERT_TRUE(player->isReady());
    }
    // The user's stored choices, written before the program reads them.
    void configure(const std::function<void(SettingsStore&)>& change)
    {
        SettingsStore settings(settingsPath());
        change(settings);
        settings.sync();
    }
    // `title` by `artist` playing on `on` (the fixture's player), its bus name ending in `suffix`.
    bool announce(const QString& title, const QString& artist, FakePlayer* on = nullptr,
                  const QString& suffix = u("qqmusic"))
    {
        on = on ? on : player.get();
        return on->script(
                   suffix, u("SetMetadata"),
                   {QVariantMap{{u("xesam:title"), title}, {u("xesam:artist"), QStringList{artist}}}}) &&
               on->script(suffix, u("SetStatus"), {u("Playing")});
    }
    // As a user starts it: offscreen, on the test display or with no display at all.
    void launch(QProcess& process, Display display, const QStringList& arguments = {})
    {
        QProcessEnvironment env = environment;
        env.insert(u("HOME"), home.path());
        env.insert(u("XDG_CONFIG_HOME"), home.path() + u("/.config"));
        env.insert(u("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        env.remove(u("QT_QPA_PLATFORM"));
        if (display == Display::offscreen)
            env.insert(u("QT_QPA_PLATFORM"), u("offscreen"));
        if (display == Display::none) {
            env.remove(u("DISPLAY"));
            env.remove(u("WAYLAND_DISPLAY"));
        }
        process.setProcessEnvironment(env);
        endsWithTheTest(process);
        process.start(QStringLiteral(TONIVOX_BINARY), arguments);
        ASSERT_TRUE(process.waitForStarted(5000));
    }
    void startProgram(Display display = Display::offscreen)
    {
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        launch(program, display);
    }
    void stopProgram()
    {
        if (program.state() == QProcess::NotRunning)
            return;
        program.terminate();
        if (!program.waitForFinished(10000)) {
            program.kill();
            program.waitForFinished(3000);
        }
    }
    // Stopped by the system: a clean exit that leaves the quit record alone.
    void terminate(QProcess& process, int sig = SIGTERM)
    {
        const qint64 pid = process.processId();
        ASSERT_GT(pid, 0); // never pid 0: that would signal the test's own process group
        ::kill(static_cast<pid_t>(pid), sig);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        static const QRegularExpression quit(QStringLiteral("^seq=[1-9][0-9]*\\nappRunning=0\\n$"));
        EXPECT_TRUE(quit.match(state()).hasMatch()) << state().toStdString();
    }
    QString settingsPath() const { return home.path() + QStringLiteral("/.config/Tonivox/Tonivox.conf"); }
    QString linkDir() const { return home.path() + QStringLiteral("/Library/Application Support/Tonivox"); }
    QString stateFile() const { return linkDir() + QStringLiteral("/plugin_state.txt"); }
    // A file of the link directory ("plugin_state.txt", "detect_debug.log").
    QString linkFile(const char* name) const { return QString::fromUtf8(readAll(linkDir() + '/' + name)); }
    QString state() const { return linkFile("plugin_state.txt"); }
    bool stateHas(const char* line) const { return state().split(QLatin1Char('\n')).contains(u(line)); }

    QTemporaryDir home;
    QTemporaryDir files;
    std::unique_ptr<KeylibServerProcess> server;
    PrivateBus bus;
    std::unique_ptr<FakePlayer> player;
    QProcess program;
    // What the program is started in, before its home, display and bus.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};
