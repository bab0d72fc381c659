// The real program keeps following songs while it listens to one the library does not
// know: a player window that goes on to a library song, and a player that closes.
#include "program_e2e.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>
#include <optional>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

constexpr char kSeed[] = R"([{"artist": "周杰伦", "title": "晴天", "key": "B 大调"}])";

class TrackingE2E : public ProgramE2E {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs tests/run-with-services";
        startServices(kSeed);
        // The loop's monitor is the channel: local detection records from it. (The
        // transposer refuses it, as it monitors the default output.)
        configure([this](SettingsStore& settings) {
            settings.setPrivacyConsent(true);
            settings.setServerBaseURL(server->baseURL());
            settings.setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
        });
    }
    bool stateHas(const QString& line) const { return state().split(QLatin1Char('\n')).contains(line); }
    // The key and scale the plug-in is told, as numbers ("key=11.0000").
    bool keyAndScale(int key, int scale) const
    {
        std::optional<double> k, sc;
        for (const QString& line : state().split(QLatin1Char('\n'))) {
            bool ok = false;
            const double value = line.section(QLatin1Char('='), 1).toDouble(&ok);
            if (ok && line.startsWith(u("key=")))
                k = value;
            else if (ok && line.startsWith(u("scale=")))
                sc = value;
        }
        return k == key && sc == scale;
    }
    QString detectLog() const
    {
        QFile f(linkDir() + QStringLiteral("/detect_debug.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    // The program's key detection recordings on the sound server now.
    int detectionStreams() const
    {
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("source-outputs")});
        pactl.waitForFinished(5000);
        const QString pid = QStringLiteral("application.process.id = \"%1\"").arg(program.processId());
        int n = 0;
        for (const QString& block :
             QString::fromUtf8(pactl.readAllStandardOutput()).split(u("Source Output #")))
            n += block.contains(pid) && block.contains(u("media.name = \"Tonivox key detection\"")) ? 1 : 0;
        return n;
    }
    // Listening to the unknown song: held chromatic, and a recording of it under way.
    bool listening() const
    {
        return stateHas(u("meta_key=半音阶模式")) && keyAndScale(0, 0) && detectionStreams() > 0;
    }
};

} // namespace

// Nothing reports the song but its window (as Kugou under Wine): unknown, then a library song.
TEST_F(TrackingE2E, AWindowThatGoesOnToALibrarySongGetsItsKey)
{
    PlayerWindow kugou(QStringLiteral("kugou"), QStringLiteral("800x600"), u("bar 无名之歌 - 无名氏"));
    ASSERT_TRUE(kugou.isReady());
    startProgram(Display::screen);
    ASSERT_TRUE(QTest::qWaitFor([&] { return listening(); }, 30000))
        << state().toStdString() << detectLog().toStdString();
    EXPECT_TRUE(stateHas(u("meta_song=无名氏 - 无名之歌"))) << state().toStdString();

    QElapsedTimer sinceChange;
    ASSERT_TRUE(kugou.send(u("bar 晴天 - 周杰伦")));
    sinceChange.start();
    // B is 11, major.
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(11, 1); }, 20000)) << state().toStdString();
    std::printf("window change to key in the state file: %lld ms\n",
                static_cast<long long>(sinceChange.elapsed()));
    RecordProperty("window_change_to_key_ms", static_cast<int>(sinceChange.elapsed()));
    EXPECT_TRUE(stateHas(u("meta_key=B 大调"))) << state().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return detectionStreams() == 0; }, 10000));
}

// The player closes while its unknown song is listened to: the song is cleared and no more
// recordings are made for it.
TEST_F(TrackingE2E, APlayerClosedDuringDetectionClearsTheSongAndStopsTheRecordings)
{
    ASSERT_TRUE(announce(u("无名之歌"), u("无名氏")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listening(); }, 30000))
        << state().toStdString() << detectLog().toStdString();

    QElapsedTimer sinceClose;
    player.reset();
    sinceClose.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stateHas(u("meta_key=来首歌呀～")); }, 15000))
        << state().toStdString();
    std::printf("player closed to song cleared: %lld ms\n", static_cast<long long>(sinceClose.elapsed()));
    RecordProperty("close_to_clear_ms", static_cast<int>(sinceClose.elapsed()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return detectionStreams() == 0; }, 10000));

    // Longer than a listening step (4 s recording, 0.5 s pause): no new recording, no new line.
    const QString log = detectLog();
    QElapsedTimer watched;
    watched.start();
    while (watched.elapsed() < 6000) {
        ASSERT_EQ(detectionStreams(), 0);
        QTest::qWait(200);
    }
    EXPECT_EQ(detectLog(), log);
}
