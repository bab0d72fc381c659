// The real program following a real player: a process named "qqmusic" announcing songs
// over MPRIS on a private bus, the key library on loopback, the host plug-in simulator on
// the link directory. What the plug-in sees is read from the link files.
#include "program_e2e.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <set>

namespace {

constexpr char kSeed[] = R"([{"artist": "周杰伦", "title": "晴天", "key": "B 大调"}])";

class SongE2E : public ProgramE2E {
protected:
    void SetUp() override
    {
        startServices(kSeed);
        configure([](SettingsStore& settings) { settings.setLastUsedTranspose(2); });
        QDir().mkpath(linkDir());
        sim.start(QStringLiteral(TONIVOX_PLUGIN_SIM), {QStringLiteral("--dir"), linkDir()});
        ASSERT_TRUE(sim.waitForStarted(5000));
    }
    void TearDown() override
    {
        stopProgram();
        sim.kill();
        sim.waitForFinished(3000);
    }
    QString detectLog() const
    {
        QFile f(linkDir() + QStringLiteral("/detect_debug.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QProcess sim;
};

} // namespace

// A library song reaches the plug-in shifted by the stored transposition.
TEST_F(SongE2E, ALibrarySongReachesThePluginShifted)
{
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    startProgram();
    // B is 11; the stored transposition of +2 makes it 1, a major scale.
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(1, 1); }, 10000)) << state().toStdString();
    EXPECT_TRUE(stateHas("appRunning=1"));
    EXPECT_TRUE(stateHas("meta_song=周杰伦 - 晴天")) << state().toStdString();
    EXPECT_TRUE(stateHas("meta_key=C#/Db 大调（+2）")) << state().toStdString();
}

// Stopped by the system while it listens to an unknown song on the loop's monitor, with a
// recording under way: it quits at once and leaves the quit record.
TEST_F(SongE2E, TerminatedWhileListeningLeavesExactlyTheQuitRecord)
{
    configure(
        [](SettingsStore& settings) { settings.setAccompanimentChannelUID(QStringLiteral("loop.monitor")); });
    ASSERT_TRUE(announce(u("无名之歌"), u("无名氏")));
    startProgram();
    // C shifted by +2, chromatic, and a recording counted; the next one is under way.
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(2, 0); }, 15000)) << state().toStdString();
    EXPECT_TRUE(stateHas("meta_key=半音阶模式")) << state().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return detectLog().contains(u("] 采集")); }, 20000))
        << detectLog().toStdString();
    terminate(program);
}

// A lookup the server never answers: the program goes on serving its link (the heartbeat
// keeps rewriting the state file, the song already shows) and quits at once when asked.
TEST_F(SongE2E, AHangingLookupHoldsNothingBack)
{
    startServer({QStringLiteral("--delay-ms"), QStringLiteral("120000")});
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->errorOutput().contains("delaying an answer"); }, 10000));
    std::set<QDateTime> writes;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            if (stateHas("meta_song=周杰伦 - 晴天"))
                writes.insert(QFileInfo(stateFile()).lastModified());
            return writes.size() >= 3;
        },
        20000))
        << state().toStdString();
    EXPECT_FALSE(state().contains(u("\nkey=")));
    EXPECT_TRUE(server->requests().isEmpty()); // still unanswered
    terminate(program);
}
