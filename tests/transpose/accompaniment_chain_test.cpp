// The whole chain on a real sound server: played into "loop", shifted onto a null sink made
// the default, recorded from its monitor; times are read on the recording's own axis.
#include "core/settings_store.h"
#include "platform/pulse_audio_client.h"
#include "support/private_sound_server.h"
#include "support/temp_home.h"
#include "support/text.h"
#include "transpose/accompaniment_processor.h"
#include "transpose/tone_measure.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr double kRate = 48000.0;

QByteArray pactl(const QStringList& arguments)
{
    QProcess p;
    p.start(u("pactl"), arguments);
    p.waitForFinished(5000);
    return p.readAllStandardOutput().trimmed();
}

// Interleaved stereo of `left(t)` and `right(t)`.
template <typename Left, typename Right> std::vector<float> stereo(double seconds, Left left, Right right)
{
    std::vector<float> samples;
    for (size_t i = 0; i < static_cast<size_t>(seconds * kRate); ++i) {
        const double t = static_cast<double>(i) / kRate;
        samples.insert(samples.end(), {static_cast<float>(left(t)), static_cast<float>(right(t))});
    }
    return samples;
}

auto tone(double frequency_Hz, double amplitude = 0.3)
{
    return [=](double t) { return amplitude * std::sin(2 * std::numbers::pi * frequency_Hz * t); };
}

// A source's frames as they arrive, both sides; each start begins afresh.
class Recorder {
public:
    bool start(PulseAudioClient& audio, const QString& uid)
    {
        m_recording.reset();
        m_sides[0].clear();
        m_sides[1].clear();
        m_tallies.clear();
        for (const auto& source : audio.listSources()) {
            if (source.uid != uid)
                continue;
            m_recording = audio.startRecording(
                source.deviceID, PulseAudioClient::RecordOptions{},
                [this](const AudioBufferRef& buffer) {
                    std::lock_guard guard(m_lock);
                    for (uint32_t i = 0; i + 1 < buffer.byteSize / 4; i += 2) {
                        m_sides[0].push_back(buffer.data[i]);
                        m_sides[1].push_back(buffer.data[i + 1]);
                    }
                },
                nullptr);
        }
        return m_recording != nullptr;
    }
    void stop() { m_recording.reset(); }
    std::array<std::vector<float>, 2> sides() const
    {
        std::lock_guard guard(m_lock);
        return m_sides;
    }
    // Frames louder than `level` on the left so far.
    size_t loudFrames(float level = 0.01f) const
    {
        std::lock_guard guard(m_lock);
        return tally(level).loud;
    }
    // Frames recorded after the last one louder than `level`; none while nothing was.
    std::optional<size_t> framesAfterLoud(float level) const
    {
        std::lock_guard guard(m_lock);
        const Tally& t = tally(level);
        return t.loud ? std::optional(m_sides[0].size() - t.lastLoud - 1) : std::nullopt;
    }

private:
    // Counted on from where the last call stopped: the callback shares the lock and runs on
    // the chain's own client thread, so a scan of the whole recording held the chain up.
    struct Tally {
        size_t scanned = 0, loud = 0, lastLoud = 0;
    };
    const Tally& tally(float level) const
    {
        Tally& t = m_tallies[level];
        for (; t.scanned < m_sides[0].size(); ++t.scanned) {
            if (std::abs(m_sides[0][t.scanned]) > level) {
                ++t.loud;
                t.lastLoud = t.scanned;
            }
        }
        return t;
    }

    mutable std::mutex m_lock;
    mutable std::map<float, Tally> m_tallies;
    std::array<std::vector<float>, 2> m_sides;
    std::unique_ptr<AudioRecording> m_recording;
};

class AccompanimentChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
            GTEST_SKIP() << "needs the PulseAudio server of tests/run-with-services";
        m_previousDefault = pactl({"get-default-sink"});
        m_module = pactl({"load-module", "module-null-sink", "sink_name=transposer_out", "rate=48000",
                          "format=float32le", "sink_properties=device.description=TransposerOut"});
        ASSERT_FALSE(m_module.isEmpty());
        pactl({"set-default-sink", "transposer_out"});
        m_audio = std::make_unique<PulseAudioClient>();
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return m_audio->defaultSinkName() == u("transposer_out"); }, 10000));
        m_home.settings().setAccompanimentChannelUID(u("loop.monitor"));
    }

    void TearDown() override
    {
        m_out.stop();
        stopPlayer();
        m_audio.reset();
        if (!m_previousDefault.isEmpty())
            pactl({"set-default-sink", QString::fromUtf8(m_previousDefault)});
        if (!m_module.isEmpty())
            pactl({"unload-module", QString::fromUtf8(m_module)});
        if (!m_sourceModule.isEmpty())
            pactl({"unload-module", QString::fromUtf8(m_sourceModule)});
    }

    // Plays interleaved stereo with paplay.
    void play(const std::vector<float>& samples, const QString& sink = u("loop"))
    {
        stopPlayer();
        const QString path = m_dir.filePath(u("signal.raw"));
        ASSERT_TRUE(writeFile(path, QByteArray(reinterpret_cast<const char*>(samples.data()),
                                               static_cast<qsizetype>(samples.size() * 4))));
        m_player.start(u("paplay"), {u("--device=") + sink, "--raw", "--format=float32le", "--rate=48000",
                                     "--channels=2", path});
        ASSERT_TRUE(m_player.waitForStarted(5000));
    }

    void stopPlayer()
    {
        if (m_player.state() != QProcess::NotRunning) {
            m_player.kill();
            m_player.waitForFinished(2000);
        }
    }

    bool recordOutput() { return m_out.start(*m_audio, u("transposer_out.monitor")); }

    // For a failure's message: the chain's glitch counts (trims and underruns in step are a
    // capture that comes in lumps) and where the server routes what (a stream on the wrong
    // sink is silence here).
    static std::string routing(const AccompanimentProcessor& processor)
    {
        const AccompanimentProcessor::Glitches glitches = processor.glitches();
        return processor.statusText().toStdString() + ", trimmed " + std::to_string(glitches.trimmedFrames) +
               ", underrun " + std::to_string(glitches.underrunFrames) + ", underflows " +
               std::to_string(glitches.outputUnderflows) +
               "\ndefault sink: " + pactl({"get-default-sink"}).toStdString() + "\nsinks:\n" +
               pactl({"list", "short", "sinks"}).toStdString() + "\nstreams:\n" +
               pactl({"list", "short", "sink-inputs"}).toStdString();
    }

    // Until `seconds` of signal came out of the default sink.
    bool waitForSignal(double seconds)
    {
        return QTest::qWaitFor([&] { return m_out.loudFrames() > seconds * kRate; }, 20000);
    }

    QTemporaryDir m_dir;
    TempHome m_home;
    QByteArray m_previousDefault, m_module, m_sourceModule;
    std::unique_ptr<PulseAudioClient> m_audio;
    Recorder m_out;
    QProcess m_player;
};

// The sound server plays in real time; an AddressSanitizer build of the render path falls
// behind it, so what these cases measure (pitch, length) says nothing there.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_TIMING_UNDER_SANITIZERS()                                                                       \
    GTEST_SKIP() << "real-time measurements mean nothing in a sanitizer build"
#else
#define SKIP_TIMING_UNDER_SANITIZERS() static_cast<void>(0)
#endif

TEST_F(AccompanimentChain, ShiftsEachSideBySemitonesAtTheInputsLevel)
{
    SKIP_TIMING_UNDER_SANITIZERS();
    for (const int semitones : {-5, 2, 7}) {
        AccompanimentProcessor processor(*m_audio);
        processor.setSemitones(semitones);
        ASSERT_TRUE(processor.start()) << processor.statusText().toStdString();
        EXPECT_TRUE(processor.statusText().startsWith(
            u("运行中：Monitor of Loopback→默认输出 移调%1（延迟 ").arg(QString::asprintf("%+d", semitones))))
            << processor.statusText().toStdString();
        ASSERT_TRUE(recordOutput());
        // Well beyond the 3.5 s waited for: a capture that starts late (PipeWire's monitor
        // recordings lag by seconds under load) still hears enough.
        play(stereo(10.0, tone(440), tone(660)));
        ASSERT_TRUE(waitForSignal(3.5)) << semitones << ": " << m_out.loudFrames() << " loud frames of "
                                        << m_out.sides()[0].size() << ", " << routing(processor);
        // Both sides at one moment, and the output's buffer counts (its fill moves with every
        // request, and the target grows where the server ran dry, so only its presence and a
        // ceiling, the largest target plus one request, are fixed: not the server's 2 s).
        const auto sides = m_out.sides();
        const auto terms = processor.latencyTerms();
        EXPECT_TRUE(terms.playbackReported) << semitones;
        EXPECT_LE(terms.playbackMs, (AccompanimentProcessor::kMaxPlaybackTargetFrames +
                                     AccompanimentProcessor::kRenderPeriodFrames) /
                                        48.0 * 2);
        EXPECT_GT(terms.startDelayMs, 0.0) << semitones;
        // The pitch of the last two seconds in four half seconds: one of them on the shifted
        // pitch, and none as far as a neighbouring semitone. A burst of glitches (backlog
        // trims, underruns, a fragment the recording lost) bends a window's pitch by up to
        // 2 %; glitches are counted by the burst and render tests, the shift is checked here.
        const double ratio = std::pow(2.0, semitones / 12.0);
        std::vector<float> last[2];
        for (const int side : {0, 1}) {
            last[side].assign(sides[side].end() - 96000, sides[side].end());
            const double expected_Hz = (side == 0 ? 440 : 660) * ratio;
            std::vector<double> errors;
            for (auto start = last[side].begin(); start != last[side].end(); start += 24000) {
                const double peak = tone_measure::peakFrequency(std::vector<float>(start, start + 24000),
                                                                kRate, expected_Hz * 0.9, expected_Hz * 1.1);
                errors.push_back(std::abs(peak / expected_Hz - 1));
            }
            std::sort(errors.begin(), errors.end());
            EXPECT_LT(errors.front(), 0.005) << semitones << " side " << side;
            EXPECT_LT(errors.back(), 0.03) << semitones << " side " << side;
        }
        EXPECT_NEAR(20 * std::log10(tone_measure::rms(last[0]) / (0.3 / std::sqrt(2.0))), 0.0, 3.0)
            << semitones << ": " << routing(processor) << "\nquiet frames "
            << std::count_if(last[0].begin(), last[0].end(), [](float s) { return std::abs(s) < 0.01f; })
            << " of " << last[0].size();
        // The running line's latency includes the stretcher's delay (measured after the start).
        const auto logged =
            QRegularExpression(
                u("运行中 in=.* shift=\\%1 latency=(\\d+)ms").arg(QString::asprintf("%+d", semitones)))
                .match(QString::fromUtf8(readAll(m_home.linkDir() + u("/app_debug.log"))));
        ASSERT_TRUE(logged.hasMatch()) << semitones;
        EXPECT_GT(logged.captured(1).toDouble(), terms.startDelayMs) << semitones;
        processor.stop();
        EXPECT_EQ(processor.statusText(), u("已停止"));
        m_out.stop();
    }
}

TEST_F(AccompanimentChain, AFourSecondBurstComesOutFourSecondsLong)
{
    SKIP_TIMING_UNDER_SANITIZERS();
    AccompanimentProcessor processor(*m_audio);
    processor.setSemitones(5);
    ASSERT_TRUE(processor.start());
    ASSERT_TRUE(recordOutput());
    // A quiet tone first, below the burst's threshold, until it comes out: on a loaded PipeWire
    // the chain's capture can start seconds late and would otherwise miss the burst's start.
    play(stereo(30.0, tone(440, 0.02), tone(440, 0.02)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_out.loudFrames(0.005f) > 12000; }, 20000))
        << routing(processor);
    // The loop's monitor hands over a lump when a player starts; the chain drops that standing
    // backlog within a second, during the silence before the burst.
    const auto burst = [](double t) { return t >= 1.5 && t < 5.5 ? tone(440)(t) : 0.0; };
    play(stereo(7.0, burst, burst));
    // Until the whole burst came out and silence again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_out.framesAfterLoud(0.05f).value_or(0) > 24000; }, 20000))
        << m_out.loudFrames(0.05f) << " loud frames of " << m_out.sides()[0].size() << ", "
        << routing(processor);
    const auto out = m_out.sides()[0];
    const auto loud = [](float s) { return std::abs(s) > 0.05f; };
    const auto first = std::find_if(out.begin(), out.end(), loud) - out.begin();
    const auto last = out.rend() - std::find_if(out.rbegin(), out.rend(), loud);
    EXPECT_NEAR(static_cast<double>(last - first) / kRate, 4.0, 0.04);
}

// A server of this test's own, restarted while the chain runs: the services' server is shared
// by the whole run and is not restarted.
TEST(AccompanimentChainRestart, AServerRestartStopsTheChainWhichStartsAgainOnTheNewServer)
{
    if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs the test services";
    PrivateSoundServer server;
    // The channel is the monitor of "in"; the default output stays "loop".
    const auto startServer = [&] {
        return server.start() &&
               !server.pactl({"load-module", "module-null-sink", "sink_name=in", "rate=48000"}).isEmpty();
    };
    ASSERT_TRUE(startServer()) << server.errorOutput().toStdString();
    TempHome home;
    home.settings().setAccompanimentChannelUID(u("in.monitor"));
    PulseAudioClient::Options options{server.address()};
    options.retryMax = 500ms;
    PulseAudioClient audio(options);
    AccompanimentProcessor processor(audio);
    processor.setSemitones(3);
    EXPECT_TRUE(QTest::qWaitFor([&] { return processor.start(); }, 10000))
        << processor.statusText().toStdString();

    ASSERT_TRUE(server.stop()) << server.errorOutput().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !processor.isRunning(); }, 10000));
    EXPECT_TRUE(processor.statusText() == AccompanimentProcessor::kLostStatus ||
                processor.statusText() == AccompanimentProcessor::kOutputLostStatus)
        << processor.statusText().toStdString();

    ASSERT_TRUE(startServer()) << server.errorOutput().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return processor.isRunning(); }, 10000))
        << processor.statusText().toStdString();
    EXPECT_EQ(audio.connectionCount(), 2);
    EXPECT_TRUE(processor.statusText().startsWith(u("运行中："))) << processor.statusText().toStdString();
}

TEST_F(AccompanimentChain, RefusesWithoutAChannelStopsWithoutItsSourceOrOnFeedbackAndStartsAgainByItself)
{
    AccompanimentProcessor processor(*m_audio);
    m_home.settings().setAccompanimentChannelUID(u("gone.monitor"));
    EXPECT_FALSE(processor.start());
    EXPECT_EQ(processor.statusText(), u("请先选择伴奏回路通道"));
    processor.stop();
    EXPECT_EQ(processor.statusText(), u("请先选择伴奏回路通道"));
    m_home.settings().setAccompanimentChannelUID(u("transposer_out.monitor"));
    EXPECT_FALSE(processor.start());
    EXPECT_EQ(processor.statusText(), AccompanimentProcessor::kFeedbackStatus);

    const auto loadSource = [&] {
        m_sourceModule = pactl({"load-module", "module-null-sink", "sink_name=transposer_in", "rate=48000",
                                "sink_properties=device.description=TransposerIn"});
        return !m_sourceModule.isEmpty();
    };
    ASSERT_TRUE(loadSource());
    m_home.settings().setAccompanimentChannelUID(u("transposer_in.monitor"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return processor.start(); }, 10000))
        << processor.statusText().toStdString();
    processor.setSemitones(2); // while running: the renderer follows, the status says so
    EXPECT_TRUE(processor.statusText().contains(u("移调+2"))) << processor.statusText().toStdString();
    // The default output becomes the source itself, and back.
    pactl({"set-default-sink", "transposer_in"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !processor.isRunning(); }, 10000));
    EXPECT_EQ(processor.statusText(), AccompanimentProcessor::kFeedbackStatus);
    pactl({"set-default-sink", "transposer_out"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return processor.isRunning(); }, 10000));
    // The source goes, and comes back.
    pactl({"unload-module", QString::fromUtf8(m_sourceModule)});
    m_sourceModule.clear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !processor.isRunning(); }, 10000));
    EXPECT_EQ(processor.statusText(), AccompanimentProcessor::kLostStatus);
    ASSERT_TRUE(loadSource());
    EXPECT_TRUE(QTest::qWaitFor([&] { return processor.isRunning(); }, 10000));
    EXPECT_TRUE(processor.statusText().startsWith(u("运行中："))) << processor.statusText().toStdString();
}

// A writer held up longer than the buffer lasts (here: the render itself stalls, as a busy
// machine's late wake-up does) makes the server run dry; the buffer then grows up to its
// ceiling and no further, and a stream without a ceiling keeps its size.
TEST_F(AccompanimentChain, AnOutputThatRunsDryGrowsItsBufferUpToTheCeiling)
{
    const auto playStalling = [&](uint32_t ceiling) {
        PulseAudioClient::PlaybackOptions options;
        options.targetFrames = 384;
        options.requestFrames = 128;
        options.maxTargetFrames = ceiling;
        std::atomic<int> calls{0};
        auto playback = m_audio->startPlayback(
            options,
            [&calls](float* interleaved, uint32_t frames) {
                std::fill_n(interleaved, 2 * frames, 0.0f);
                if (++calls % 50 == 0) // longer than the largest buffer allowed here lasts
                    std::this_thread::sleep_for(40ms);
            },
            nullptr);
        EXPECT_TRUE(playback);
        EXPECT_TRUE(playback && QTest::qWaitFor([&] { return playback->underflows() >= 6; }, 20000))
            << (playback ? playback->underflows() : 0) << " underflows";
        return playback ? playback->targetFrames() : 0;
    };
    EXPECT_EQ(playStalling(1024), 1024u);
    EXPECT_EQ(playStalling(0), 384u);
}

} // namespace
