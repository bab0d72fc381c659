// A sound server that stops answering after the client connected (frozen with SIGSTOP): the
// client notices by itself, the transposer shows the lost channel, and once the server runs
// again the chain starts again without anyone's help. A private server of the test's own, so
// that freezing it stops no other test.
#include "core/settings_store.h"
#include "platform/pulse_audio_client.h"
#include "support/temp_home.h"
#include "transpose/accompaniment_processor.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

TEST(FrozenSoundServer, IsTreatedAsLostAndTheTransposerComesBackAfterItThaws)
{
    if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs the test services";
    QTemporaryDir dir;
    const QString root = dir.path();
    for (const char* sub : {"/pulse", "/xdg", "/home"})
        ASSERT_TRUE(QDir().mkpath(root + QLatin1String(sub)));
    QFile::setPermissions(root + QStringLiteral("/xdg"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString socket = root + QStringLiteral("/native");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/xdg"));
    environment.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), root + QStringLiteral("/pulse"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    QProcess daemon;
    daemon.setProcessEnvironment(environment);
    // The first sink is the default output; the second one's monitor is the channel.
    daemon.start(QStringLiteral("pulseaudio"),
                 {QStringLiteral("-D"), QStringLiteral("-n"), QStringLiteral("--exit-idle-time=-1"),
                  QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=") + socket,
                  QStringLiteral("--load=module-null-sink sink_name=out rate=48000"),
                  QStringLiteral("--load=module-null-sink sink_name=private rate=48000")});
    ASSERT_TRUE(daemon.waitForFinished(10000) && daemon.exitCode() == 0)
        << daemon.readAllStandardError().toStdString();
    QFile pidFile(root + QStringLiteral("/pulse/pid"));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const pid_t server = pidFile.readAll().trimmed().toInt();
    ASSERT_GT(server, 0);

    {
        TempHome home;
        home.settings().setAccompanimentChannelUID(QStringLiteral("private.monitor"));
        PulseAudioClient::Options options{"unix:" + socket.toUtf8()};
        options.retryMax = std::chrono::milliseconds(500);
        PulseAudioClient audio(options);
        ASSERT_TRUE(QTest::qWaitFor([&] { return audio.defaultSinkName() == QStringLiteral("out"); }, 10000));
        AccompanimentProcessor transposer(audio);
        ASSERT_TRUE(transposer.start()) << transposer.statusText().toStdString();

        ASSERT_EQ(::kill(server, SIGSTOP), 0);
        // Whichever stream ends first names the loss: the channel or the output.
        const bool noticed = QTest::qWaitFor(
            [&] {
                return transposer.statusText() == AccompanimentProcessor::kLostStatus ||
                       transposer.statusText() == AccompanimentProcessor::kOutputLostStatus;
            },
            10000);
        ::kill(server, SIGCONT);
        EXPECT_TRUE(noticed) << transposer.statusText().toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return transposer.isRunning(); }, 15000))
            << transposer.statusText().toStdString();
        EXPECT_GE(audio.connectionCount(), 2);
    }
    ::kill(server, SIGKILL);
}
