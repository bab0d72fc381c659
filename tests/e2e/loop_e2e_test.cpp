// The accompaniment loop in the real program, on a sound server of its own (the kind under
// test): a player process named "qqmusic" (a copy of pacat, so the sound server sees its own
// process) plays 440 Hz on the default output while the MPRIS player of the same name reports
// a song; the desktop actions make and remove the loop.
#include "program_e2e.h"
#include "support/private_sound_server.h"
#include "transpose/tone_measure.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTest>
#include <cstring>

namespace {

constexpr char kSeed[] = R"([{"artist": "周杰伦", "title": "晴天", "key": "B 大调"}])";

class LoopE2E : public ProgramE2E {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the test services";
        ASSERT_TRUE(sound.start()) << sound.errorOutput().toStdString();
        environment = sound.environment(environment);
        startServices(kSeed);
        configure([](SettingsStore& settings) {
            settings.setPrivacyConsent(false);
            settings.setLastUsedTranspose(2);
        });
        // The player's sound: a copy of pacat under the player's name, fed a 440 Hz tone.
        tone = files.filePath(QStringLiteral("tone.raw"));
        QProcess sox;
        sox.start(QStringLiteral("sox"), {"-n", "-t", "raw", "-r", "48000", "-c", "2", "-e", "floating-point",
                                          "-b", "32", tone, "synth", "120", "sine", "440", "vol", "0.3"});
        ASSERT_TRUE(sox.waitForFinished(20000));
        playerCopy = files.filePath(QStringLiteral("qqmusic"));
        ASSERT_TRUE(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("pacat")), playerCopy));
        QFile::setPermissions(playerCopy, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        startPlayerSound();
        ASSERT_TRUE(playsOn("qqmusic", "loop"));
    }
    void startPlayerSound()
    {
        playerSound.setProcessEnvironment(environment);
        playerSound.setStandardInputFile(tone);
        endsWithTheTest(playerSound);
        playerSound.start(playerCopy,
                          {"--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2"});
        ASSERT_TRUE(playerSound.waitForStarted(5000));
    }
    void TearDown() override
    {
        stopProgram();
        playerSound.kill();
        playerSound.waitForFinished(2000);
    }
    // The sink name each playback stream of `binary` plays on.
    QStringList sinksOf(const QString& binary) const
    {
        const auto list = [&](const char* what) {
            return QJsonDocument::fromJson(sound.pactl({"-f", "json", "list", what})).array();
        };
        QMap<int, QString> names;
        for (const QJsonValue& sink : list("sinks"))
            names.insert(sink[u("index")].toInt(), sink[u("name")].toString());
        QStringList out;
        for (const QJsonValue& input : list("sink-inputs"))
            if (input[u("properties")][u("application.process.binary")].toString() == binary)
                out << names.value(input[u("sink")].toInt());
        return out;
    }
    bool playsOn(const char* binary, const char* sink, int ms = 10000) const
    {
        return QTest::qWaitFor([&] { return sinksOf(u(binary)) == QStringList{u(sink)}; }, ms);
    }
    // As the desktop file's action runs it: handed to the running program.
    bool action(const char* name)
    {
        QProcess handing;
        launch(handing, Display::offscreen, {u("--") + u(name)});
        return handing.waitForFinished(10000) && handing.exitCode() == 0;
    }
    QString storedChannel() const
    {
        return SettingsStore(settingsPath()).accompanimentChannelUID().value_or(QString());
    }
    // Until the default output ("loop") carries the tone two semitones up; the pitch last heard.
    double waitForShiftedTone()
    {
        double peak = 0;
        (void)QTest::qWaitFor(
            [&] {
                QProcess rec;
                rec.setProcessEnvironment(environment);
                rec.start(QStringLiteral("parec"), {"--latency-msec=20", "--device=loop.monitor", "--raw",
                                                    "--format=float32le", "--rate=48000", "--channels=1"});
                rec.waitForStarted(5000);
                QTest::qWait(1500);
                rec.kill();
                rec.waitForFinished(2000);
                const QByteArray bytes = rec.readAllStandardOutput();
                std::vector<float> samples(static_cast<size_t>(bytes.size()) / 4);
                if (!samples.empty()) // nothing recorded yet: no pointer to copy from or to
                    std::memcpy(samples.data(), bytes.constData(), samples.size() * 4);
                // The last second: the start may still be silence.
                if (samples.size() > 48000)
                    samples.erase(samples.begin(), samples.end() - 48000);
                peak = tone_measure::peakFrequency(samples, 48000, 300, 700);
                return std::abs(peak - 493.88) < 3;
            },
            20000);
        return peak;
    }

    PrivateSoundServer sound;
    QString tone, playerCopy;
    QProcess playerSound;
};

} // namespace

// The action makes the loop, moves the player onto it, and the transposer plays its sound
// two semitones up on the default output, also after the sound server restarts; the other
// action takes it all away again.
TEST_F(LoopE2E, TheActionsMakeTheLoopAndTakeItAllAwayAgain)
{
    startProgram();
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return state().contains(u("晴天")); }, 20000)) << state().toStdString();
    ASSERT_TRUE(action("create-accompaniment-loop"));
    EXPECT_TRUE(playsOn("qqmusic", "tonivox_accompaniment"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return storedChannel() == u("tonivox_accompaniment.monitor"); }, 5000));
    EXPECT_NEAR(waitForShiftedTone(), 493.88, 3);

    // Modules do not survive a restart of the sound server: the loop is made again, the
    // player's new stream moved onto it and the transposer plays on.
    ASSERT_TRUE(sound.stop()) << sound.errorOutput().toStdString();
    ASSERT_TRUE(playerSound.waitForFinished(10000)); // its server went
    ASSERT_TRUE(sound.start()) << sound.errorOutput().toStdString();
    startPlayerSound();
    EXPECT_TRUE(playsOn("qqmusic", "tonivox_accompaniment", 30000) && playsOn("tonivox", "loop"))
        << "player on " << sinksOf(u("qqmusic")).join(u(",")).toStdString() << ", program on "
        << sinksOf(u("tonivox")).join(u(",")).toStdString();
    EXPECT_NEAR(waitForShiftedTone(), 493.88, 3);
    EXPECT_EQ(storedChannel(), u("tonivox_accompaniment.monitor"));

    ASSERT_TRUE(action("remove-accompaniment-loop"));
    EXPECT_TRUE(playsOn("qqmusic", "loop"));
    EXPECT_FALSE(sound.pactl({"list", "short", "sinks"}).contains("tonivox_accompaniment"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return storedChannel().isEmpty(); }, 5000));
}
