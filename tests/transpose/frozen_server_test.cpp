// A sound server that stops answering after the client connected (frozen with SIGSTOP): the
// client notices by itself, the transposer shows the lost channel, and once the server runs
// again the chain starts again without anyone's help. A private server of the test's own, so
// that freezing it stops no other test.
#include "core/settings_store.h"
#include "keydetect/audio_channel_detector.h"
#include "platform/pulse_audio_client.h"
#include "support/private_sound_server.h"
#include "support/temp_home.h"
#include "transpose/accompaniment_processor.h"

#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

TEST(FrozenSoundServer, IsTreatedAsLostAndTheTransposerComesBackAfterItThaws)
{
    if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs the test services";
    PrivateSoundServer server;
    ASSERT_TRUE(server.start()) << server.errorOutput().toStdString();
    // The default output is "loop"; this one's monitor is the channel.
    ASSERT_FALSE(
        server.pactl({"load-module", "module-null-sink", "sink_name=private", "rate=48000"}).isEmpty());
    const pid_t frozen = server.pid();
    ASSERT_GT(frozen, 0);

    {
        TempHome home;
        home.settings().setAccompanimentChannelUID(QStringLiteral("private.monitor"));
        PulseAudioClient::Options options{server.address()};
        options.retryMax = std::chrono::milliseconds(500);
        PulseAudioClient audio(options);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return audio.defaultSinkName() && AudioChannelDetector::selectedChannel(audio); }, 10000));
        AccompanimentProcessor transposer(audio);
        ASSERT_TRUE(transposer.start()) << transposer.statusText().toStdString();

        ASSERT_EQ(::kill(frozen, SIGSTOP), 0);
        // Whichever stream ends first names the loss: the channel or the output.
        const bool noticed = QTest::qWaitFor(
            [&] {
                return transposer.statusText() == AccompanimentProcessor::kLostStatus ||
                       transposer.statusText() == AccompanimentProcessor::kOutputLostStatus;
            },
            10000);
        ::kill(frozen, SIGCONT);
        EXPECT_TRUE(noticed) << transposer.statusText().toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return transposer.isRunning(); }, 15000))
            << transposer.statusText().toStdString();
        EXPECT_GE(audio.connectionCount(), 2);
    }
}
