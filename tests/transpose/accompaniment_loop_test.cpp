// The accompaniment loop on the real sound server of tests/run-with-services: the sink it
// makes, the streams it moves (the followed player's only) and what it stores. Players are
// pacat processes playing silence; which of them is "the player" is the test's choice.
#include "core/app_state.h"
#include "core/settings_store.h"
#include "platform/pulse_audio_client.h"
#include "support/temp_home.h"
#include "transpose/accompaniment_loop.h"
#include "transpose/accompaniment_processor.h"

#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QByteArray pactl(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), arguments);
    p.waitForFinished(5000);
    return p.readAllStandardOutput().trimmed();
}

// A process playing silence on the default sink until stopped.
class Player {
public:
    Player()
    {
        m_process.setStandardInputFile(QStringLiteral("/dev/zero"));
        m_process.start(QStringLiteral("pacat"),
                        {"--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2"});
    }
    ~Player()
    {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

class AccompanimentLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the sound server of tests/run-with-services";
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_audio.isConnected(); }, 10000));
    }
    void TearDown() override
    {
        m_loop.reset();
        // Whatever a failed case left behind goes, so the next starts clean.
        for (const AudioSinkInfo& sink : m_audio.listSinks()) {
            if (sink.name == loop_routing::sinkName() && sink.ownerModule)
                pactl({"unload-module", QString::number(*sink.ownerModule)});
        }
    }

    void makeLoop()
    {
        m_loop = std::make_unique<AccompanimentLoop>(AccompanimentLoop::Deps{
            m_audio, m_home.settings(), m_state, m_transposer,
            [this](const std::vector<AudioStreamInfo>&) {
                std::optional<loop_routing::PlayerProcesses> player;
                if (!m_playerPids.isEmpty())
                    player = loop_routing::PlayerProcesses{m_playerPids, {}};
                return QtFuture::makeReadyFuture(player);
            },
            [this](const AudioChannel& channel) {
                m_chosen = channel;
                m_home.settings().setAccompanimentChannelUID(channel.uid);
            }});
    }

    std::optional<AudioSinkInfo> ourSink() const
    {
        return loop_routing::findSink(m_audio.listSinks(), loop_routing::sinkName());
    }
    // The sink a process's stream plays on.
    std::optional<uint32_t> sinkOf(qint64 pid) const
    {
        for (const AudioStreamInfo& s : m_audio.listPlaybackStreams()) {
            if (s.processId == pid)
                return s.sinkIndex;
        }
        return std::nullopt;
    }
    bool playsOn(qint64 pid, const QString& sinkName) const
    {
        const auto sink = loop_routing::findSink(m_audio.listSinks(), sinkName);
        return sink && sinkOf(pid) == sink->index;
    }
    bool playsOnLoop(qint64 pid) const { return playsOn(pid, loop_routing::sinkName()); }

    TempHome m_home;
    AppState m_state{m_home.settings()};
    PulseAudioClient m_audio;
    AccompanimentProcessor m_transposer{m_audio};
    std::unique_ptr<AccompanimentLoop> m_loop;
    QSet<qint64> m_playerPids;
    std::optional<AudioChannel> m_chosen;
};

TEST_F(AccompanimentLoopTest, MovesOnlyThePlayersStreamsKeepsMovingNewOnesAndRemovesCleanly)
{
    const QString defaultSink = m_audio.defaultSinkName().value_or(QString());
    Player player;
    Player other;
    m_playerPids = {player.pid()};
    ASSERT_TRUE(QTest::qWaitFor([&] { return sinkOf(player.pid()) && sinkOf(other.pid()); }, 10000));
    makeLoop();

    m_loop->create();
    ASSERT_TRUE(QTest::qWaitFor([&] { return playsOnLoop(player.pid()); }, 10000));
    EXPECT_EQ(ourSink()->description, loop_routing::description());
    EXPECT_EQ(ourSink()->nominalRateHz, 48000.0);
    ASSERT_TRUE(m_chosen);
    EXPECT_EQ(m_chosen->uid, loop_routing::monitorUid());
    EXPECT_EQ(m_home.settings().accompanimentChannelUID(), loop_routing::monitorUid());
    EXPECT_EQ(m_state.channelStatus(), AccompanimentLoop::kCreatedStatus);
    EXPECT_TRUE(m_loop->exists());
    EXPECT_TRUE(playsOn(other.pid(), defaultSink));

    // The player's next stream (a new process, as after a restart) is moved as well.
    Player restarted;
    m_playerPids.insert(restarted.pid());
    EXPECT_TRUE(QTest::qWaitFor([&] { return playsOnLoop(restarted.pid()); }, 10000));
    EXPECT_TRUE(playsOn(other.pid(), defaultSink));

    m_loop->remove();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ourSink(); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return playsOn(player.pid(), defaultSink); }, 10000));
    EXPECT_TRUE(playsOn(restarted.pid(), defaultSink));
    EXPECT_EQ(m_home.settings().accompanimentChannelUID().value_or(QString()), QString());
    EXPECT_EQ(m_state.channelStatus(), AccompanimentLoop::kRemovedStatus);
    EXPECT_FALSE(m_loop->exists());
}

TEST_F(AccompanimentLoopTest, WithoutAPlayerTheSinkIsMadeNothingMovesAndTheStatusSaysWhatToDo)
{
    Player stranger;
    ASSERT_TRUE(QTest::qWaitFor([&] { return sinkOf(stranger.pid()).has_value(); }, 10000));
    makeLoop();
    m_loop->create();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_chosen.has_value(); }, 10000));
    EXPECT_EQ(m_state.channelStatus(), AccompanimentLoop::kNoPlayerStatus);
    EXPECT_FALSE(playsOnLoop(stranger.pid()));
}

// At launch (and after the server restarted) the stored loop is missing: it is made again
// without a user's action.
TEST_F(AccompanimentLoopTest, AStoredLoopThatIsMissingIsMadeAgain)
{
    m_home.settings().setAccompanimentChannelUID(loop_routing::monitorUid());
    ASSERT_FALSE(ourSink());
    makeLoop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ourSink().has_value(); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_loop->exists(); }, 5000));
    // Taken away behind the program's back, it comes back once on this connection.
    pactl({"unload-module", QString::number(*ourSink()->ownerModule)});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !ourSink(); }, 10000));
    QTest::qWait(500);
    EXPECT_FALSE(ourSink());
    EXPECT_EQ(m_home.settings().accompanimentChannelUID(), loop_routing::monitorUid());
}

TEST_F(AccompanimentLoopTest, WithoutAServerNothingIsStoredAndTheStatusSaysSo)
{
    PulseAudioClient::Options options;
    options.server = QByteArray("unix:/nonexistent/native");
    PulseAudioClient absent(options);
    m_home.settings().setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
    AccompanimentLoop loop(
        {absent, m_home.settings(), m_state, m_transposer, {}, [this](const AudioChannel& c) {
             m_chosen = c;
         }});
    loop.create();
    EXPECT_EQ(m_state.channelStatus(), AccompanimentLoop::kNoServerStatus);
    loop.remove();
    EXPECT_EQ(m_state.channelStatus(), AccompanimentLoop::kNoServerStatus);
    EXPECT_EQ(m_home.settings().accompanimentChannelUID(), QStringLiteral("loop.monitor"));
    EXPECT_FALSE(m_chosen);
}

TEST(LoopRouting, AStreamIsThePlayersByProcessIdElseByExecutableAndNeverOurs)
{
    const loop_routing::PlayerProcesses player{{100, 101}, {QStringLiteral("qqmusic")}};
    const std::vector<AudioStreamInfo> streams = {
        {1, 7, 100, QStringLiteral("other-name"), {}},       // the player's by id, whatever its binary
        {2, 7, 200, QStringLiteral("qqmusic"), {}},          // another process of the same name: not
        {3, 7, std::nullopt, QStringLiteral("qqmusic"), {}}, // no id: by executable
        {4, 9, 101, {}, {}},                                 // already on the loop
        {5, 7, 101, {}, {}},                                 // handled before
        {6, 7, 555, {}, {}},                                 // our own process
    };
    EXPECT_EQ(loop_routing::streamsToMove(streams, player, 9, {5}, 555), (std::vector<uint32_t>{1, 3}));

    const std::vector<AudioSinkInfo> sinks = {{1, loop_routing::sinkName(), {}, 2, {}, {}},
                                              {2, QStringLiteral("speakers"), {}, 2, {}, {}}};
    EXPECT_EQ(loop_routing::fallbackSink(sinks, loop_routing::sinkName()), QStringLiteral("speakers"));
    EXPECT_EQ(loop_routing::fallbackSink(sinks, QStringLiteral("speakers")), QStringLiteral("speakers"));
    EXPECT_EQ(loop_routing::fallbackSink({sinks[0]}, loop_routing::sinkName()), std::nullopt);
}

} // namespace
