#pragma once

// The set-up the end-to-end tests share: the real program in a temporary home, a process
// named "qqmusic" that announces songs over MPRIS on a private bus, and the key library on
// loopback seeded with the test's songs.
#include "core/settings_store.h"
#include "players/player_fixtures.h"
#include "support/keylib_server_process.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

class ProgramE2E : public ::testing::Test {
protected:
    enum class Display { offscreen, screen };

    void TearDown() override { stopProgram(); }

    // The key library seeded with `seedJson`, and the player, not yet playing.
    void startServices(const char* seedJson)
    {
        seed = KeylibServerProcess::writeTemp(files, QStringLiteral("seed.json"), seedJson);
        server = std::make_unique<KeylibServerProcess>(QStringList{QStringLiteral("--seed"), seed});
        ASSERT_TRUE(server->started());
        ASSERT_FALSE(bus.address().isEmpty());
        player = std::make_unique<FakePlayer>(
            QStringLiteral("qqmusic"), QStringList{QStringLiteral("--mpris"), QStringLiteral("qqmusic")},
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
    bool announce(const QString& title, const QString& artist)
    {
        return player->script(QStringLiteral("qqmusic"), QStringLiteral("SetMetadata"),
                              {QVariantMap{{QStringLiteral("xesam:title"), title},
                                           {QStringLiteral("xesam:artist"), QStringList{artist}}}}) &&
               player->script(QStringLiteral("qqmusic"), QStringLiteral("SetStatus"),
                              {QStringLiteral("Playing")});
    }
    // As a user starts it, offscreen or on the test display.
    void launch(QProcess& process, Display display)
    {
        QProcessEnvironment env = environment;
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
        if (display == Display::offscreen)
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        else
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(TONIVOX_BINARY), {});
        ASSERT_TRUE(process.waitForStarted(5000));
    }
    void startProgram(Display display = Display::offscreen) { launch(program, display); }
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
    QString settingsPath() const { return home.path() + QStringLiteral("/.config/Tonivox/Tonivox.conf"); }
    QString linkDir() const { return home.path() + QStringLiteral("/Library/Application Support/Tonivox"); }
    QString state() const
    {
        QFile f(linkDir() + QStringLiteral("/plugin_state.txt"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir home;
    QTemporaryDir files;
    QString seed;
    std::unique_ptr<KeylibServerProcess> server;
    PrivateBus bus;
    std::unique_ptr<FakePlayer> player;
    QProcess program;
    // What the program is started in, before its home, display and bus.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};
