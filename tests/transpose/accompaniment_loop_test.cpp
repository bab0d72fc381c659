// The accompaniment loop where the end-to-end loop test does not reach: no player, no server.
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

class AccompanimentLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the sound server of tests/run-with-services";
    }
    void TearDown() override
    {
        if (const auto ours = loop_routing::findSink(m_audio.listSinks(), loop_routing::sinkName());
            ours && ours->ownerModule)
            QProcess::execute(QStringLiteral("pactl"),
                              {"unload-module", QString::number(*ours->ownerModule)});
    }

    AccompanimentLoop::Deps deps(PulseAudioClient& audio)
    {
        return {audio,
                m_home.settings(),
                m_state,
                m_transposer,
                [](const std::vector<AudioStreamInfo>&) {
                    return QtFuture::makeReadyFuture(std::optional<loop_routing::PlayerProcesses>());
                },
                [this](const AudioChannel& channel) {
                    m_chosen = channel;
                    m_home.settings().setAccompanimentChannelUID(channel.uid);
                }};
    }

    TempHome m_home;
    AppState m_state{m_home.settings()};
    PulseAudioClient m_audio;
    AccompanimentProcessor m_transposer{m_audio};
    std::optional<AudioChannel> m_chosen;
};

// A stranger's stream (a program playing silence) stays where it plays.
TEST_F(AccompanimentLoopTest, WithoutAPlayerTheSinkIsMadeNothingMovesAndTheStatusSaysWhatToDo)
{
    QProcess stranger;
    stranger.setStandardInputFile(QStringLiteral("/dev/zero"));
    stranger.start(QStringLiteral("pacat"),
                   {"--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2"});
    const auto sinkOfStranger = [&]() -> std::optional<uint32_t> {
        for (const AudioStreamInfo& s : m_audio.listPlaybackStreams()) {
            if (s.processId == stranger.processId())
                return s.sinkIndex;
        }
        return std::nullopt;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return sinkOfStranger().has_value(); }, 10000));
    AccompanimentLoop loop(deps(m_audio));
    loop.create();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_chosen.has_value(); }, 10000));
    EXPECT_EQ(m_chosen->uid, loop_routing::monitorUid());
    EXPECT_EQ(m_state.channelStatus(), AccompanimentLoop::kNoPlayerStatus);
    const auto ours = loop_routing::findSink(m_audio.listSinks(), loop_routing::sinkName());
    ASSERT_TRUE(ours);
    EXPECT_NE(sinkOfStranger(), ours->index);
    stranger.kill();
    stranger.waitForFinished(2000);
}

TEST_F(AccompanimentLoopTest, WithoutAServerNothingIsStoredAndTheStatusSaysSo)
{
    PulseAudioClient absent(PulseAudioClient::Options{QByteArray("unix:/nonexistent/native")});
    m_home.settings().setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
    AccompanimentLoop loop(deps(absent));
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
