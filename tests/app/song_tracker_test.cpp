#include "app/report_book.h"
#include "app/tracker_rules.h"
#include "platform/pulse_audio_client.h"
#include "support/private_sound_server.h"
#include "tracker_fixture.h"
#include "transpose/accompaniment_processor.h"

#include <QCoreApplication>
#include <QProcess>
#include <QScopeGuard>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "晴天", "key": "B 大调"},
  {"artist": "陈奕迅", "title": "十年", "key": "Bb 小调", "review_status": "disputed", "matched_by": "variant"}
])";
const Song kSunny{u("晴天"), u("周杰伦")};
const Song kTenYears{u("十年"), u("陈奕迅")};

class TrackerTest : public TrackerFixture {
protected:
    TrackerTest() : TrackerFixture(kSeed) {}
};

struct CountingDetection final : LocalDetectionPort {
    int runs = 0;
    QCoro::Task<> localDetectAndRefine(Song, AudioChannel, std::stop_token) override
    {
        ++runs;
        co_return;
    }
    void stop() override {}
};

// Record streams of this process on the sound server.
int ownRecordStreams()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("source-outputs")});
    pactl.waitForFinished(5000);
    const QString pid =
        QStringLiteral("application.process.id = \"%1\"").arg(QCoreApplication::applicationPid());
    return static_cast<int>(QString::fromUtf8(pactl.readAllStandardOutput()).count(pid));
}

} // namespace

TEST(TrackerRules, NewerVersionsAndLibraryKeyDetails)
{
    const struct {
        const char *latest, *current;
        bool newer;
    } versions[] = {
        {"2.0", "1.9.9", true},  {"1.10", "1.9", true},
        {"1.0.0", "1.0", false}, {"1.0a", "1.0", false},
        {"0.0.1", "", true},     {"99999999999999999999999", "1", false}}; // not a number: dropped
    for (const auto& c : versions)
        EXPECT_EQ(tracker_rules::isNewerVersion(u(c.latest), u(c.current)), c.newer)
            << c.latest << " " << c.current;

    const struct {
        const char *review, *matchedBy, *detail;
    } details[] = {{"disputed", "variant", "先唱，我听准了就改～"},
                   {nullptr, "variant", "先唱着，我再确认下～"},
                   {nullptr, "cloud", "放心唱吧～ "},
                   {nullptr, nullptr, "放心唱吧～"}};
    for (const auto& c : details) {
        LookupResult r;
        if (c.review)
            r.review_status = u(c.review);
        if (c.matchedBy)
            r.matched_by = u(c.matchedBy);
        EXPECT_EQ(tracker_rules::libraryKeyDetail(r), u(c.detail)) << c.detail;
    }
}

TEST_F(TrackerTest, ALibraryKeyReachesThePluginShiftedByTheTransposition)
{
    startServer();
    state.setTranspose(2);
    players.song = kSunny;
    startTracker();
    ASSERT_TRUE(waitFor([&] { return state.synced(); }));
    EXPECT_EQ(state.keyText(), u("B 大调"));
    EXPECT_EQ(state.keyDetail(), u("放心唱吧～"));
    EXPECT_EQ(state.songSource(), u("QQ音乐"));
    EXPECT_EQ(syncer.ipc().value(u("key")), 1);
    EXPECT_EQ(syncer.ipc().value(u("scale")), 1);
    EXPECT_TRUE(tuning.hostParamsReady());

    // A key set in the plug-in keeps its scale index whatever the key text says.
    state.setManualScaleIndex(3);
    state.setTranspose(0);
    EXPECT_EQ(syncer.ipc().value(u("key")), 11);
    EXPECT_EQ(syncer.ipc().value(u("scale")), 3);
    EXPECT_EQ(home.settings().lastUsedTranspose(), 0);

    // The same song with a featured artist is no new song; a different one is, and the
    // first one's listening time is reported.
    home.settings().setAccessToken(u("t"));
    passes(10);
    players.song = Song{u("晴天"), u("周杰伦 feat. 五月天")};
    passes(3);
    EXPECT_EQ(requestsTo("/v1/key/lookup"), 1);
    players.song = kTenYears;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("Bb 小调"); }));
    EXPECT_EQ(state.keyDetail(), u("先唱，我听准了就改～"));
    EXPECT_FALSE(state.manualScaleIndex());
    EXPECT_EQ(syncer.ipc().value(u("scale")), 2);
    ASSERT_TRUE(server->waitForRequests(4));
    EXPECT_EQ(requestsTo("/v1/play/duration"), 1);
}

TEST_F(TrackerTest, WindowLabelsGiveWayToPlayersAndAGoneSongClears)
{
    startServer();
    window.song = kSunny;
    window.allowed = false;
    startTracker();
    ASSERT_TRUE(waitFor([&] { return state.synced(); }));
    EXPECT_EQ(state.songSource(), u("窗口识别"));

    // A player now reports the same song: its label replaces the window's, no new lookup.
    players.song = window.song;
    ASSERT_TRUE(waitFor([&] { return state.songSource() == u("QQ音乐"); }));
    players.song.reset();
    window.player = u("窗口识别（QQ音乐）");
    passes(10);
    EXPECT_EQ(state.songSource(), u("QQ音乐"));
    EXPECT_EQ(requestsTo("/v1/key/lookup"), 1);
    EXPECT_LE(window.attempts, 3); // at most every 3 s

    // Nothing anywhere, more than 2 s after the player's last sighting: cleared.
    players.song = window.song;
    passes(2);
    players.song.reset();
    window.song.reset();
    ASSERT_TRUE(waitFor([&] { return !state.current(); }));
    EXPECT_EQ(state.keyText(), u("来首歌呀～"));
    EXPECT_TRUE(state.keyDetail().contains(u("X11 显示")));
}

// Consent given then resolves the song. (The update notice: the panel's test.)
TEST_F(TrackerTest, WithoutConsentOnlyTheVersionCheckGoesOut)
{
    home.settings().setPrivacyConsent(false);
    startServer();
    players.song = kSunny;
    startTracker();
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("需要同意隐私说明"); }));
    EXPECT_EQ(state.keyDetail(), u("同意后就能帮你定调～"));
    ASSERT_TRUE(server->waitForRequests(1));
    passes(5);
    EXPECT_EQ(server->requests().size(), 1);
    EXPECT_FALSE(state.synced());
    home.settings().setPrivacyConsent(true);
    tracker->consentGiven();
    ASSERT_TRUE(waitFor([&] { return state.synced(); }));
    EXPECT_EQ(state.keyText(), u("B 大调"));
}

// Refused lookups show on the key line and push no key: a version the library no longer
// serves, and a lookup that never answers. (That the main thread goes on meanwhile: the
// launch end-to-end test's hanging lookup.)
TEST_F(TrackerTest, RefusedAndHangingLookupsShowOnTheKeyLine)
{
    startServer({QStringLiteral("--min-version"), QStringLiteral("99.0")});
    players.song = kSunny;
    startTracker();
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("版本过旧"); }));
    EXPECT_EQ(state.keyDetail(), u("版本过旧，请升级到最新版"));
    tracker.reset();
    finishServer();

    startServer({QStringLiteral("--delay-ms"), QStringLiteral("60000")});
    SongTracker::Deps d = deps(audio, transposer, true);
    d.lookupTimeout = 1500ms;
    startTracker(d);
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("网络不稳定"); }));
    EXPECT_EQ(state.keyDetail(), u("请稍后重试"));
    EXPECT_FALSE(state.synced());
    EXPECT_FALSE(syncer.ipc().contains(u("key")));
}

// At launch the sound server lists the stored channel only after the song playing was
// found unknown: the song is resolved again and detected all the same.
TEST_F(TrackerTest, AChannelListedAfterAnUnknownSongStillGetsItDetected)
{
    startServer();
    players.song = Song{u("无名之歌"), u("无名氏")};
    CountingDetection detection;
    const auto dropTracker = qScopeGuard([this] { tracker.reset(); }); // before `detection`
    startTracker(deps(audio, transposer), &detection);
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("暂未识别"); }));
    EXPECT_EQ(state.keyDetail(), u("设置里选一下伴奏通道～"));
    ASSERT_TRUE(audio.onChange);
    audio.list(true);
    ASSERT_TRUE(waitFor([&] { return detection.runs == 1; }));
    EXPECT_EQ(requestsTo("/v1/key/lookup"), 2);
    // Listed again (another change of the server): nothing is resolved twice.
    audio.onChange();
    passes(3);
    EXPECT_EQ(detection.runs, 1);
}

// The same launch race for a song the library knows: its key is applied at once, and its
// check starts when the channel is listed.
TEST_F(TrackerTest, ALibraryKeyFoundBeforeTheChannelIsListedIsCheckedOnceItIs)
{
    report_book::resetForTests();
    startServer();
    players.song = kSunny;
    SongTracker::Deps d = deps(audio, transposer);
    d.sleep = holdingTheCheck(d.sleep);
    startTracker(d);
    ASSERT_TRUE(waitFor([&] { return state.synced(); }));
    passes(2);
    EXPECT_FALSE(tracker->isVerificationRunning());
    audio.list(true);
    EXPECT_TRUE(tracker->isVerificationRunning());
    // A channel the user let go of (none is stored here) that goes from the list keeps what its
    // removal said. (A stored one shows as lost: AFrozenSoundServerShowsAsALostChannelUntilItThaws.)
    state.setChannelStatus(u("已移除伴奏回路"));
    audio.list(false);
    EXPECT_EQ(state.channelStatus(), u("已移除伴奏回路"));
    tracker.reset();
    report_book::resetForTests();
}

TEST_F(TrackerTest, AManualKeyIsReportedOnceAndAgainAfterAFailure)
{
    startServer({QStringLiteral("--fail"), QStringLiteral("500")});
    state.setCurrent(kSunny);
    tracker = std::make_unique<SongTracker>(deps(audio, transposer, true));
    tracker->applyManualKey(u("D 小调"));
    EXPECT_EQ(state.keyDetail(), u("你说了算～"));
    EXPECT_EQ(syncer.ipc().value(u("key")), 2);
    EXPECT_EQ(syncer.ipc().value(u("scale")), 2);
    tracker->applyManualKey(u("D 小调")); // the same choice: not sent again
    ASSERT_TRUE(server->waitForRequests(1));
    // Once the failure is back, the same choice goes out again.
    ASSERT_TRUE(waitFor([&] {
        tracker->applyManualKey(u("D 小调"));
        return requestsTo("/v1/key/feedback") >= 2;
    }));
    EXPECT_EQ(requestsTo("/v1/key/feedback"), 2);
}

// The real client, connected after panel start: a private server frozen with SIGSTOP (as a
// hung one is) shows the channel as lost and stops the transposer; thawed, both come back.
TEST_F(TrackerTest, AFrozenSoundServerShowsAsALostChannelUntilItThaws)
{
    if (qEnvironmentVariableIsEmpty("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs tests/run-with-services";
    PrivateSoundServer sound;
    ASSERT_TRUE(sound.start()) << sound.errorOutput().toStdString();
    // The default output is "loop"; the channel is another sink's monitor (never the output's).
    ASSERT_FALSE(
        sound.pactl({"load-module", "module-null-sink", "sink_name=private", "rate=48000"}).isEmpty());
    startServer();
    home.settings().setAccompanimentChannelUID(u("private.monitor"));
    PulseAudioClient::Options options{sound.address()};
    options.retryMax = 500ms;
    PulseAudioClient client(options);
    PulseAudioPort port(client);
    AccompanimentProcessor processor(client);
    ProcessorTransposer output(processor);
    const auto dropTracker = qScopeGuard([this] { tracker.reset(); });
    startTracker(deps(port, output, true));
    ASSERT_TRUE(waitFor([&] { return processor.isRunning(); })) << processor.statusText().toStdString();
    const QString shown = state.channelStatus();
    EXPECT_EQ(shown, u("已选择：") + state.channelName());

    ASSERT_TRUE(sound.freeze());
    // The bound is what a user may wait for the status to tell.
    const bool noticed = QTest::qWaitFor(
        [&] {
            return state.channelStatus() == AccompanimentProcessor::kLostStatus && !processor.isRunning();
        },
        10000);
    sound.thaw();
    EXPECT_TRUE(noticed) << state.channelStatus().toStdString();
    EXPECT_TRUE(waitFor([&] { return processor.isRunning() && state.channelStatus() == shown; }))
        << processor.statusText().toStdString() << " / " << state.channelStatus().toStdString();
    EXPECT_GE(client.connectionCount(), 2);
}

// A library-key check cancelled by a song change in its wait and in its recording (real sound
// server) sends nothing, leaves no record stream and gives the song back for a later check.
TEST_F(TrackerTest, ACancelledLibraryKeyCheckSendsNothingAndLeavesNothingBehind)
{
    if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs the PulseAudio server of tests/run-with-services";
    report_book::resetForTests();
    startServer();
    home.settings().setAccompanimentChannelUID(u("loop.monitor"));
    PulseAudioClient client;
    PulseAudioPort port(client);
    const auto dropTracker = qScopeGuard([this] { tracker.reset(); });
    SongTracker::Deps d = deps(port, transposer);
    d.sleep = holdingTheCheck(d.sleep);
    players.song = kSunny;
    ASSERT_TRUE(waitFor([&] { return port.selectedChannel().has_value(); }));
    startTracker(d);
    ASSERT_TRUE(waitFor([&] { return state.synced() && tracker->isVerificationRunning(); }));

    // During the wait: another song.
    players.song = kTenYears;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("Bb 小调"); }));
    // Back again: it is checked again (its id was given back), and this time it records.
    holdCheck = false;
    players.song = kSunny;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("B 大调"); }));
    EXPECT_TRUE(tracker->isVerificationRunning());
    ASSERT_TRUE(waitFor([&] { return ownRecordStreams() == 1; }));

    // During the recording: another song, whose own check waits.
    holdCheck = true;
    players.song = kTenYears;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("Bb 小调"); }));
    ASSERT_TRUE(waitFor([&] { return ownRecordStreams() == 0; }));
    tracker.reset();
    drainCancelledTasks();
    EXPECT_EQ(requestsTo("/v1/key/report"), 0);
    for (const Song& song : {kSunny, kTenYears})
        EXPECT_TRUE(report_book::claimVerification(tracker_rules::songId(song.artist, song.title)));
    report_book::resetForTests();
}
