#include "app/report_book.h"
#include "app/sample_ring.h"
#include "core/resource_bundle.h"
#include "keydetect/synth.h"
#include "pluginlink/plugin_ipc.h"
#include "tracker_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <iterator>
#include <random>

using namespace std::chrono_literals;
using namespace detection_rules;

namespace {

constexpr char kSeed[] = R"([{"artist": "周杰伦", "title": "晴天", "key": "B 大调"}])";
const Song kUnknown{u("无名之歌"), u("无名氏")};

// 4 s of a C major cadence, continuing where the previous one ended.
std::vector<float> cMajorSlice(int index)
{
    static const std::vector<float> song = synth::progression(0, synth::majorCadence(), 120.0, kSampleRate);
    const std::size_t length = 4 * 44100;
    const std::size_t start = (static_cast<std::size_t>(index - 1) * length) % (song.size() - length);
    return {song.begin() + static_cast<std::ptrdiff_t>(start),
            song.begin() + static_cast<std::ptrdiff_t>(start + length)};
}

std::vector<float> noise(int seed)
{
    std::mt19937 random(static_cast<unsigned>(seed));
    std::uniform_real_distribution<float> amplitude(-0.25f, 0.25f);
    std::vector<float> out(4 * 44100);
    for (float& s : out)
        s = amplitude(random);
    return out;
}

// Local detection beside the tracker, or in a run of its own.
class DetectionTest : public TrackerFixture {
protected:
    DetectionTest() : TrackerFixture(kSeed) {}
    void SetUp() override
    {
        TrackerFixture::SetUp();
        report_book::resetForTests();
        audio.listed = true;
    }
    void TearDown() override
    {
        run.cancel();
        tracker.reset();
        detection.reset();
        retired.clear();
        finishServer();
    }
    // On the test clock; beside the tracker it reads the stored engine, alone the test's.
    void newDetection(KeyDetectorV5& detector, std::function<void(const QString&)> push, bool ownRun)
    {
        LocalDetection::Deps d{state, syncer, players, audio, detector, std::move(push)};
        d.now = [this] { return now; };
        d.sleep = sleep();
        if (ownRun)
            d.decisionEngine = [this] { return engine; };
        // An earlier run's report may still be waiting for its answer.
        if (detection)
            retired.push_back(std::move(detection));
        detection = std::make_unique<LocalDetection>(d);
    }
    void startTracker()
    {
        newDetection(
            v5, [this](const QString& key) { tracker->applyKeyToAutotune(key); }, false);
        TrackerFixture::startTracker(deps(audio, transposer), detection.get());
    }
    // A run of its own, without the tracker; decided keys are pushed as they are.
    void startRun(const Song& song)
    {
        newDetection(
            *runDetector,
            [this](const QString& key) {
                state.setSynced(true);
                pushedKeys << key;
            },
            true);
        state.setCurrent(song);
        run.start([this, song](std::stop_token stop) {
            return detection->localDetectAndRefine(song, audio.channel, std::move(stop));
        });
    }
    QList<QJsonObject> reports() const { return bodiesTo("/v1/key/report"); }
    QStringList logLines(const char* containing) const
    {
        const QString log = QString::fromUtf8(readAll(PluginIPC::path(PluginIPC::kDetectLogFile)));
        return log.split(QLatin1Char('\n')).filter(u(containing));
    }

    std::optional<KeyDetectorV5> model; // the real one, for the tests that need its verdict
    KeyDetectorV5* runDetector = &v5;
    KeyDecisionEngine engine = KeyDecisionEngine::classic;
    QStringList pushedKeys;
    std::unique_ptr<LocalDetection> detection;
    std::vector<std::unique_ptr<LocalDetection>> retired;
    cancellation::TaskHandle run;
};

} // namespace

TEST(DetectionRules, LatestSamplesAndEvidence)
{
    const std::vector<float> ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(latestSamples(ten, 2, 3), (std::vector<float>{5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(latestSamples(ten, 2, 100), ten);
    EXPECT_TRUE(latestSamples(ten, 2, 0.4).empty());
    EXPECT_TRUE(latestSamples(ten, 2, -1).empty());

    // The ring keeps the newest five across wraps, and a recording longer than itself.
    SampleRing ring(5);
    ring.append(std::vector<float>{1, 2, 3});
    EXPECT_EQ(ring.latest(9), (std::vector<float>{1, 2, 3}));
    ring.append(std::vector<float>{4, 5, 6, 7});
    EXPECT_EQ(ring.latest(5), (std::vector<float>{3, 4, 5, 6, 7}));
    ring.append(std::vector<float>{8, 9});
    EXPECT_EQ(ring.latest(3), (std::vector<float>{7, 8, 9}));
    ring.append(std::vector<float>{10, 11, 12, 13, 14, 15, 16});
    EXPECT_EQ(ring.latest(5), (std::vector<float>{12, 13, 14, 15, 16}));
    EXPECT_EQ(ring.latest(latestCount(ring.size(), 2, 0.5)), (std::vector<float>{16}));

    // Without a model verdict its fields stay out and agreement is unknown.
    KeyDetectorV2::Measurement m2{u("C 大调"), {u("C 大调"), u("A 小调"), u("C 大调")}, true, 0.8};
    const QJsonObject alone = evidenceFor(m2, nullptr, 48).payload();
    EXPECT_FALSE(alone.contains(u("model_key")) || alone.contains(u("model_confidence")));
    EXPECT_EQ(alone.value(u("agreement")).toString(), u("unknown"));
    EXPECT_EQ(evidenceFor(m2, nullptr, 20).windowStart_s, 0.0);
    const KeyDetectorV5::Measurement m5{u("A 小调"), 0.61, 0.2, {}, {}};
    EXPECT_EQ(evidenceFor(m2, &m5, 48).payload().value(u("agreement")).toString(), u("same_scale"));
    const QJsonObject body =
        reportBody(u("a"), u("t"), u("C 大调"), 0.8, QString(), u("diag"), evidenceFor(m2, nullptr, 48));
    EXPECT_FALSE(body.contains(u("source")));
    EXPECT_EQ(body.value(u("conflict")), QJsonValue(false));
    EXPECT_EQ(songLabel(Song{u("晴天"), QString()}), u("晴天"));
}

TEST_F(DetectionTest, AnUnknownSongIsHeldChromaticThenDecidedPushedAndReportedOnce)
{
    startServer();
    state.setTranspose(2);
    players.song = kUnknown;
    audio.script = [](int n) { return cMajorSlice(n); };
    startTracker();

    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("半音阶模式"); }));
    EXPECT_EQ(syncer.ipc().value(u("key")), 2);
    EXPECT_EQ(syncer.ipc().value(u("scale")), 0);
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("C 大调"); }));
    EXPECT_EQ(audio.captures, 12);
    EXPECT_EQ(state.keyDetail(), u("放心唱吧～"));
    EXPECT_EQ(syncer.ipc().value(u("key")), 2);
    EXPECT_EQ(syncer.ipc().value(u("scale")), 1);
    // The fallback went out at the start and every 8 s of listening (every other step).
    const QStringList fallbacks = logLines("] 半音阶保底已下发 key=0 scale=0(Chromatic)");
    EXPECT_EQ(fallbacks.size(), 1 + 6);
    EXPECT_TRUE(fallbacks.first().contains(u("[无名氏 - 无名之歌] ")));
    EXPECT_EQ(logLines("第 1 次测量（已听 48 秒）→ C 大调").size(), 1);

    ASSERT_TRUE(waitFor([&] { return reports().size() == 1; }));
    const QJsonObject report = reports().first();
    EXPECT_EQ(report.value(u("key")).toString(), u("C 大调"));
    EXPECT_GE(report.value(u("confidence")).toDouble(), 0.75);
    EXPECT_EQ(report.value(u("confidence")), report.value(u("local_v2_fit")));
    EXPECT_EQ(report.value(u("decision_engine")).toString(), u("shadow_v2"));
    EXPECT_EQ(report.value(u("source")).toString(), u("QQ音乐"));
    EXPECT_EQ(report.value(u("player_diag")).toString(), u("Linux 6.1 QQ:ok"));

    // Decided: it keeps listening but neither measures nor falls back again.
    ASSERT_TRUE(waitFor([&] { return audio.captures >= 20; }));
    EXPECT_EQ(logLines("次测量").size(), 1);
    EXPECT_EQ(logLines("半音阶保底").size(), fallbacks.size());

    // The same decision in another run of this process sends no second report.
    tracker.reset();
    state.setKeyText(QString());
    startRun(kUnknown);
    ASSERT_TRUE(waitFor([&] { return pushedKeys == QStringList{u("C 大调")}; }));
    ASSERT_TRUE(waitFor([&] { return audio.captures >= 40; }));
    EXPECT_EQ(reports().size(), 1);
}

TEST_F(DetectionTest, SilenceIsNotHeardAndAnUnsureRunMeasuresEvery30Seconds)
{
    startServer();
    players.song = kUnknown;
    audio.script = [this](int n) -> std::optional<std::vector<float>> {
        if (n == 1) {
            // The user sets the key in the plug-in: the fallback is not re-sent.
            state.setKeyManuallySet(true);
            return std::vector<float>(4 * 44100, 0.0f);
        }
        if (n == 2)
            return std::nullopt; // the source went away
        return noise(n);
    };
    startRun(kUnknown);
    ASSERT_TRUE(waitFor([&] { return logLines("第 2 次测量").size() == 1; }));
    EXPECT_EQ(audio.captures, 22);
    EXPECT_EQ(logLines("采集无效（静音或环境噪声），累计已听 0s").size(), 2);
    EXPECT_EQ(logLines("第 1 次测量（已听 48 秒）").size(), 1);
    EXPECT_EQ(logLines("第 2 次测量（已听 80 秒）").size(), 1);
    EXPECT_EQ(state.keyDetail(), u("调性还没确定，已听 80 秒"));
    EXPECT_EQ(state.keyText(), u("半音阶模式"));
    EXPECT_EQ(logLines("半音阶保底").size(), 1);
    EXPECT_TRUE(pushedKeys.isEmpty());
    EXPECT_TRUE(server->requests().isEmpty());

    // A player that quits does not end the run; a featured artist is the same song.
    players.song.reset();
    const int before = audio.captures;
    ASSERT_TRUE(waitFor([&] { return audio.captures >= before + 3; }));
    players.song = Song{kUnknown.title, kUnknown.artist + u(" feat. 某人")};
    ASSERT_TRUE(waitFor([&] { return audio.captures >= before + 6; }));
    EXPECT_TRUE(run.isRunning());
    players.song = Song{u("晴天"), u("周杰伦")};
    ASSERT_TRUE(waitFor([&] { return !run.isRunning(); }));
}

// The loop goes on beside a run and each song it resolves or clears ends the run: a library
// song from the player during the recording that would have been measured (its key, not the
// scale set in the plug-in for the unknown song; nothing measured, nothing reported), a
// library song in a window, and a song that goes away.
TEST_F(DetectionTest, TheLoopFollowsSongsBesideARunAndEndsIt)
{
    startServer();
    players.song = kUnknown;
    audio.script = [this](int n) {
        if (n == 3)
            state.setManualScaleIndex(5);
        if (n == 12)
            players.song = Song{u("晴天"), u("周杰伦")};
        return n <= 12 ? cMajorSlice(n) : noise(n);
    };
    startTracker();
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("B 大调") && !tracker->isDetecting(); }));
    EXPECT_EQ(syncer.ipc().value(u("key")), 11);
    EXPECT_EQ(syncer.ipc().value(u("scale")), 1);
    EXPECT_TRUE(logLines("次测量").isEmpty());

    players.song.reset();
    window.song = kUnknown;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("半音阶模式") && tracker->isDetecting(); }));
    EXPECT_EQ(state.songSource(), u("窗口识别"));
    window.song = Song{u("晴天"), u("周杰伦")};
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("B 大调") && !tracker->isDetecting(); }));

    window.song.reset();
    players.song = kUnknown;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("半音阶模式") && tracker->isDetecting(); }));
    players.song.reset();
    ASSERT_TRUE(waitFor([&] { return !state.current(); }));
    EXPECT_EQ(state.keyText(), u("来首歌呀～"));
    ASSERT_TRUE(waitFor([&] { return !tracker->isDetecting(); }));
    const int captures = audio.captures;
    const std::size_t pauses = sleeps.size();
    ASSERT_TRUE(waitFor([&] { return sleeps.size() >= pauses + 20; })); // the loop polls on
    EXPECT_EQ(audio.captures, captures);
    EXPECT_FALSE(state.busy());
    EXPECT_TRUE(reports().isEmpty());
}

// Quitting stops the tracker and then waits for its tasks: a report still waiting for the
// service is one of them and ends with it.
TEST_F(DetectionTest, StoppingTheTrackerEndsAPendingReport)
{
    startServer({QStringLiteral("--delay-ms"), QStringLiteral("60000")});
    startTracker();
    ASSERT_TRUE(LocalDetection::claimReport(kUnknown.artist, kUnknown.title, u("C 大调")));
    detection->reportLocalKey(u("C 大调"), 0.8, kUnknown, std::nullopt);
    ASSERT_TRUE(waitFor([&] { return server->errorOutput().count("delaying an answer") >= 2; }));
    tracker->stop();
    ASSERT_TRUE(waitFor([] { return cancellation::tasksInFlight() == 0; }));
    // Given up, not sent: a later decision may report it.
    EXPECT_TRUE(LocalDetection::claimReport(kUnknown.artist, kUnknown.title, u("C 大调")));
}

// Under "neural_first" the real model, confident on a plain cadence, decides before the
// classic gate; the log and the report's evidence say so. A failing report is tried three
// times, 2 s and 4 s apart, and may then go again.
TEST_F(DetectionTest, UnderNeuralFirstAConfidentModelDecidesAndAFailingReportIsTriedThreeTimes)
{
    startServer({QStringLiteral("--fail"), QStringLiteral("500")});
    runDetector = &model.emplace([] { return findResourceDir(); });
    engine = KeyDecisionEngine::neuralFirst;
    audio.script = [](int n) { return cMajorSlice(n); };
    startRun(kUnknown);
    ASSERT_TRUE(server->waitForRequests(3, 20s));
    ASSERT_TRUE(
        waitFor([&] { return LocalDetection::claimReport(kUnknown.artist, kUnknown.title, u("C 大调")); }));
    ASSERT_EQ(reports().size(), 3);
    const QJsonObject report = reports().first();
    EXPECT_EQ(pushedKeys, QStringList{u("C 大调")});
    EXPECT_EQ(report.value(u("decision_engine")).toString(), u("neural_v5"));
    EXPECT_GE(report.value(u("confidence")).toDouble(), key_decision::kNeuralConfidence);
    EXPECT_EQ(report.value(u("confidence")), report.value(u("model_confidence")));
    EXPECT_EQ(logLines("（神经网络 confidence ").size(), 1);
    std::vector<std::chrono::milliseconds> pauses;
    std::copy_if(sleeps.begin(), sleeps.end(), std::back_inserter(pauses), [](auto d) { return d >= 1s; });
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{2s, 4s}));
}
