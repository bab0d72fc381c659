#include "app/report_book.h"
#include "app/song_tracker.h"
#include "app/tracker_rules.h"
#include "core/app_state.h"
#include "core/settings_store.h"
#include "keydetect/v5/key_detector_v5.h"
#include "keylib_test_base.h"
#include "platform/pulse_audio_client.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "pluginlink/tuning_controls.h"
#include "service/service_transport.h"
#include "support/keylib_server_process.h"
#include "support/private_sound_server.h"
#include "support/run_task.h"
#include "support/temp_home.h"
#include "transpose/accompaniment_processor.h"

#include <QCoreApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "晴天", "key": "B 大调"},
  {"artist": "陈奕迅", "title": "十年", "key": "Bb 小调", "review_status": "disputed", "matched_by": "variant"}
])";

struct ScriptedPlayers final : PlayerPort {
    std::optional<Song> song;
    QString source;
    QCoro::Task<bool> poll(std::stop_token) override { co_return true; }
    std::optional<Song> activeSong() const override { return song; }
    QString label() const override { return song ? source : QString(); }
    QString localReadDiag() const override { return u("Linux 6.1 QQ:ok"); }
};

struct ScriptedWindow final : WindowRecognitionPort {
    std::optional<Song> song;
    QString player;
    bool allowed = true;
    int attempts = 0;
    QCoro::Task<std::optional<Song>> ocrCurrentSong() override
    {
        ++attempts;
        // A copy: g++ 12 moves a member named in co_return out of the object.
        std::optional<Song> copy = song;
        co_return copy;
    }
    QString lastPlayerLabel() const override { return player; }
    bool screenCaptureAllowed() const override { return allowed; }
};

struct NoTransposer final : TransposerPort {
    void start() override {}
    void stop() override {}
};

struct CountingTransposer final : TransposerPort {
    int starts = 0;
    void start() override { ++starts; }
    void stop() override {}
};

// A sound server that lists the stored channel only once told to.
struct LateAudio final : AudioPort {
    AudioChannel channel{7, QStringLiteral("Monitor of Loopback"), QStringLiteral("loop.monitor")};
    bool listed = false;
    std::function<void()> onChange;
    std::vector<AudioChannel> listInputs() const override
    {
        return listed ? std::vector{channel} : std::vector<AudioChannel>{};
    }
    std::optional<AudioChannel> selectedChannel() const override
    {
        return listed ? std::optional(channel) : std::nullopt;
    }
    QCoro::Task<std::optional<std::vector<float>>> capture(uint32_t, std::chrono::duration<double>,
                                                           std::stop_token) override
    {
        co_return std::nullopt;
    }
    void setInputsChanged(std::function<void()> change) override { onChange = std::move(change); }
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

struct NoAudio final : AudioPort {
    std::vector<AudioChannel> listInputs() const override { return {}; }
    std::optional<AudioChannel> selectedChannel() const override { return std::nullopt; }
    QCoro::Task<std::optional<std::vector<float>>> capture(uint32_t, std::chrono::duration<double>,
                                                           std::stop_token) override
    {
        co_return std::nullopt;
    }
};

// The tracker over scripted players and windows, the real key-library server, and a clock
// that the tracker's own sleeps move forward, so the loop's schedule runs in milliseconds.
class TrackerTest : public KeylibTestBase {
protected:
    TrackerTest() : KeylibTestBase(kSeed) {}
    void TearDown() override
    {
        tracker.reset();
        finishServer();
    }
    void startTracker()
    {
        SongTracker::Deps deps{state,  home.settings(), syncer, tuning, players,
                               window, transposer,      audio,  v5};
        useTestClock(deps);
        tracker = std::make_unique<SongTracker>(deps);
        tracker->start();
    }
    void useTestClock(SongTracker::Deps& deps)
    {
        deps.now = [this] { return now; };
        deps.sleep = [this](std::chrono::milliseconds d, std::stop_token stop) -> QCoro::Task<bool> {
            now += d;
            co_return co_await cancellation::sleepFor(1ms, stop);
        };
    }
    int requestsTo(const char* path) const
    {
        int n = 0;
        for (const QJsonObject& r : server->requests())
            n += r.value(QLatin1String("path")).toString().startsWith(QLatin1String(path)) ? 1 : 0;
        return n;
    }
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 10000); }
    // Lets the loop run a number of passes.
    void passes(int n)
    {
        const auto until = now + n * SongTracker::kPollPeriod;
        ASSERT_TRUE(waitFor([&] { return now >= until; }));
    }

    AppState state{home.settings()};
    AutoTuneSyncer syncer;
    TuningControls tuning{state, syncer, home.settings()};
    ScriptedPlayers players;
    ScriptedWindow window;
    NoTransposer transposer;
    NoAudio audio;
    KeyDetectorV5 v5{[] { return std::optional<QString>(); }};
    SongTracker::TimePoint now{};
    std::unique_ptr<SongTracker> tracker;
};

} // namespace

TEST(TrackerRules, VersionsKeysAndStatusLines)
{
    using tracker_rules::isNewerVersion;
    EXPECT_TRUE(isNewerVersion(u("2.0"), u("1.9.9")));
    EXPECT_TRUE(isNewerVersion(u("1.10"), u("1.9")));
    EXPECT_FALSE(isNewerVersion(u("1.0.0"), u("1.0")));
    EXPECT_FALSE(isNewerVersion(u("1.0a"), u("1.0")));
    EXPECT_TRUE(isNewerVersion(u("0.0.1"), u("")));
    EXPECT_FALSE(isNewerVersion(u("99999999999999999999999"), u("1"))); // not a number: dropped

    const QStringList& keys = tracker_rules::allKeys();
    ASSERT_EQ(keys.size(), 24);
    EXPECT_EQ(keys.mid(0, 3), (QStringList{u("C 大调"), u("C 小调"), u("C#/Db 大调")}));
    EXPECT_EQ(keys.last(), u("B 小调"));

    LookupResult r;
    r.review_status = u("disputed");
    r.matched_by = u("variant");
    EXPECT_EQ(tracker_rules::libraryKeyDetail(r), u("先唱，我听准了就改～"));
    r.review_status.reset();
    EXPECT_EQ(tracker_rules::libraryKeyDetail(r), u("先唱着，我再确认下～"));
    r.matched_by = u("cloud");
    EXPECT_EQ(tracker_rules::libraryKeyDetail(r), u("放心唱吧～ "));
    r.matched_by.reset();
    EXPECT_EQ(tracker_rules::libraryKeyDetail(r), u("放心唱吧～"));
}

TEST_F(TrackerTest, ALibraryKeyReachesThePluginShiftedByTheTransposition)
{
    startServer();
    state.setTranspose(2);
    players.song = Song{u("晴天"), u("周杰伦")};
    players.source = u("QQ音乐");
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
    players.song = Song{u("十年"), u("陈奕迅")};
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
    window.song = Song{u("晴天"), u("周杰伦")};
    window.allowed = false;
    startTracker();
    ASSERT_TRUE(waitFor([&] { return state.synced(); }));
    EXPECT_EQ(state.songSource(), u("窗口识别"));

    // A player now reports the same song: its label replaces the window's, no new lookup.
    players.song = window.song;
    players.source = u("QQ音乐");
    ASSERT_TRUE(waitFor([&] { return state.songSource() == u("QQ音乐"); }));
    players.song.reset();
    window.player = u("窗口识别（QQ音乐）");
    passes(10);
    EXPECT_EQ(state.songSource(), u("QQ音乐"));
    EXPECT_EQ(requestsTo("/v1/key/lookup"), 1);
    // Recognition is tried at most every 3 s.
    EXPECT_LE(window.attempts, 3);

    // Nothing anywhere, more than 2 s after the player's last sighting: cleared.
    players.song = window.song;
    passes(2);
    players.song.reset();
    window.song.reset();
    ASSERT_TRUE(waitFor([&] { return !state.current(); }));
    EXPECT_EQ(state.keyText(), u("来首歌呀～"));
    EXPECT_TRUE(state.keyDetail().contains(u("X11 显示")));
}

TEST_F(TrackerTest, WithoutConsentOnlyTheVersionCheckGoesOutAndConsentResolvesAtOnce)
{
    home.settings().setPrivacyConsent(false);
    startServer({QStringLiteral("--latest-version"), QStringLiteral("99.0"), QStringLiteral("--latest-url"),
                 QStringLiteral("http://127.0.0.1/get")});
    players.song = Song{u("晴天"), u("周杰伦")};
    startTracker();
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("需要同意隐私说明"); }));
    EXPECT_EQ(state.keyDetail(), u("同意后就能帮你定调～"));
    EXPECT_FALSE(state.synced());
    ASSERT_TRUE(waitFor([&] { return tracker->updateInfo().has_value(); }));
    EXPECT_EQ(tracker->updateInfo()->version, u("99.0"));
    EXPECT_EQ(server->requests().size(), 1);

    home.settings().setPrivacyConsent(true);
    tracker->consentGiven();
    ASSERT_TRUE(waitFor([&] { return state.synced(); }));
    EXPECT_EQ(state.keyText(), u("B 大调"));
}

// The lookup never answers: it times out on the configured time-out while the main thread
// keeps serving a 10 ms timer.
TEST_F(TrackerTest, AHangingLookupTimesOutWhileTheMainThreadServes)
{
    startServer({QStringLiteral("--delay-ms"), QStringLiteral("60000")});
    players.song = Song{u("晴天"), u("周杰伦")};
    int fast = 0;
    int slow = 0;
    QTimer fastTimer;
    QTimer slowTimer;
    QObject::connect(&fastTimer, &QTimer::timeout, [&fast] { ++fast; });
    QObject::connect(&slowTimer, &QTimer::timeout, [&slow] { ++slow; });
    fastTimer.start(10);
    slowTimer.start(100);
    SongTracker::Deps deps{state, home.settings(), syncer, tuning, players, window, transposer, audio, v5};
    deps.lookupTimeout = 1500ms;
    tracker = std::make_unique<SongTracker>(deps);
    tracker->start();
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("网络不稳定"); }));
    EXPECT_FALSE(state.synced());
    // A thread held by the lookup fires each timer about once, whatever their periods.
    EXPECT_GE(slow, 5);
    EXPECT_GT(fast, 3 * slow);
}

// At launch the sound server lists the stored channel only after the song playing was
// found unknown: the song is resolved again and detected all the same.
TEST_F(TrackerTest, AChannelListedAfterAnUnknownSongStillGetsItDetected)
{
    startServer();
    players.song = Song{u("无名之歌"), u("无名氏")};
    LateAudio late;
    CountingDetection detection;
    SongTracker::Deps deps{state, home.settings(), syncer, tuning, players, window, transposer, late, v5};
    useTestClock(deps);
    tracker = std::make_unique<SongTracker>(deps);
    // The tracker goes before the audio port and detection it uses, however the test ends.
    const auto dropTracker = qScopeGuard([this] { tracker.reset(); });
    tracker->setLocalDetection(&detection);
    tracker->start();
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("暂未识别"); }));
    EXPECT_EQ(state.keyDetail(), u("设置里选一下伴奏通道～"));
    ASSERT_TRUE(late.onChange);
    late.listed = true;
    late.onChange();
    ASSERT_TRUE(waitFor([&] { return detection.runs == 1; }));
    EXPECT_EQ(requestsTo("/v1/key/lookup"), 2);
    // Listed again (another change of the server): nothing is resolved twice.
    late.onChange();
    passes(3);
    EXPECT_EQ(detection.runs, 1);
}

// The same launch race for a song the library knows: its key is applied at once, and its
// check starts when the channel is listed.
TEST_F(TrackerTest, ALibraryKeyFoundBeforeTheChannelIsListedIsCheckedOnceItIs)
{
    report_book::resetForTests();
    startServer();
    players.song = Song{u("晴天"), u("周杰伦")};
    LateAudio late;
    SongTracker::Deps deps{state, home.settings(), syncer, tuning, players, window, transposer, late, v5};
    useTestClock(deps);
    const SongTracker::Sleep fast = deps.sleep;
    deps.sleep = [fast](std::chrono::milliseconds d, std::stop_token stop) {
        return d == SongTracker::kVerifyDelay ? cancellation::sleepFor(1h, std::move(stop))
                                              : fast(d, std::move(stop));
    };
    tracker = std::make_unique<SongTracker>(deps);
    const auto dropTracker = qScopeGuard([this] { tracker.reset(); });
    tracker->start();
    ASSERT_TRUE(waitFor([&] { return state.synced(); }));
    passes(2);
    EXPECT_FALSE(tracker->isVerificationRunning());
    late.listed = true;
    late.onChange();
    EXPECT_TRUE(tracker->isVerificationRunning());
    report_book::resetForTests();
}

TEST_F(TrackerTest, AManualKeyIsReportedOnceAndAgainAfterAFailure)
{
    startServer({QStringLiteral("--fail"), QStringLiteral("500")});
    state.setCurrent(Song{u("晴天"), u("周杰伦")});
    SongTracker::Deps deps{state, home.settings(), syncer, tuning, players, window, transposer, audio, v5};
    tracker = std::make_unique<SongTracker>(deps);
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

// The sound server answers after panel start has read the (still empty) input list.
TEST_F(TrackerTest, InputsListedLateStillReachTheStateAndStartTheTransposer)
{
    startServer();
    home.settings().setAccompanimentChannelUID(u("loop.monitor"));
    PulseAudioClient client;
    PulseAudioPort port(client);
    CountingTransposer counting;
    SongTracker::Deps deps{state, home.settings(), syncer, tuning, players, window, counting, port, v5};
    tracker = std::make_unique<SongTracker>(deps);
    tracker->start();
    const auto listed = [&] {
        for (const AudioChannel& c : state.channels()) {
            if (c.uid == u("loop.monitor"))
                return true;
        }
        return false;
    };
    ASSERT_TRUE(waitFor(listed));
    ASSERT_TRUE(waitFor([&] { return state.channelStatus().startsWith(u("已选择：")); }));
    EXPECT_EQ(state.channelStatus(), u("已选择：") + state.channelName());
    EXPECT_EQ(counting.starts, 1);
    tracker.reset();
}

// A sound server that stops answering after the client connected (frozen with SIGSTOP, as a
// hung server is): the client gives it up by itself, the channel status says the channel is
// lost and the transposer stops; once the server runs again, the channel is shown and the
// transposer plays again without anyone's help. A private server: freezing it stops no other
// test.
TEST_F(TrackerTest, AFrozenSoundServerShowsAsALostChannelUntilItThaws)
{
    if (qEnvironmentVariableIsEmpty("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs tests/run-with-services";
    PrivateSoundServer sound;
    ASSERT_TRUE(sound.start()) << sound.errorOutput().toStdString();
    // The default output is "loop"; the channel is another sink's monitor (never the output's).
    ASSERT_FALSE(sound.pactl({"load-module", "module-null-sink", "sink_name=private", "rate=48000"}).isEmpty());
    startServer();
    home.settings().setAccompanimentChannelUID(u("private.monitor"));
    PulseAudioClient::Options options{sound.address()};
    options.retryMax = 500ms;
    PulseAudioClient client(options);
    PulseAudioPort port(client);
    AccompanimentProcessor processor(client);
    ProcessorTransposer transposer(processor);
    auto frozenTracker = std::make_unique<SongTracker>(
        SongTracker::Deps{state, home.settings(), syncer, tuning, players, window, transposer, port, v5});
    frozenTracker->start();
    ASSERT_TRUE(waitFor([&] { return processor.isRunning(); })) << processor.statusText().toStdString();
    const QString shown = state.channelStatus();
    EXPECT_TRUE(shown.startsWith(u("已选择："))) << shown.toStdString();

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

// A chosen channel that the sound server no longer lists shows as lost until it is listed
// again; one the user let go of (no longer stored) keeps what its removal said.
TEST_F(TrackerTest, AChannelThatIsNoLongerListedShowsAsLost)
{
    startServer();
    home.settings().setAccompanimentChannelUID(u("loop.monitor"));
    LateAudio late;
    late.listed = true;
    SongTracker::Deps deps{state, home.settings(), syncer, tuning, players, window, transposer, late, v5};
    useTestClock(deps);
    tracker = std::make_unique<SongTracker>(deps);
    const auto dropTracker = qScopeGuard([this] { tracker.reset(); });
    tracker->start();
    const QString shown = u("已选择：Monitor of Loopback");
    ASSERT_TRUE(waitFor([&] { return state.channelStatus() == shown; }));

    late.listed = false;
    late.onChange();
    EXPECT_EQ(state.channelStatus(), AccompanimentProcessor::kLostStatus);
    late.listed = true;
    late.onChange();
    EXPECT_EQ(state.channelStatus(), shown);

    home.settings().setAccompanimentChannelUID(QString());
    state.setChannelStatus(u("已移除伴奏回路"));
    late.listed = false;
    late.onChange();
    EXPECT_EQ(state.channelStatus(), u("已移除伴奏回路"));
}

namespace {

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

// The library-key check is cancelled by a song change while it waits for the intro, and
// again while it records from the real sound server: it sends nothing, leaves no record
// stream behind, and gives the song back, so that it is verified when it comes again.
TEST_F(TrackerTest, ACancelledLibraryKeyCheckSendsNothingAndLeavesNothingBehind)
{
    if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs the PulseAudio server of tests/run-with-services";
    report_book::resetForTests();
    startServer();
    home.settings().setAccompanimentChannelUID(u("loop.monitor"));
    PulseAudioClient client;
    PulseAudioPort port(client);
    SongTracker::Deps deps{state, home.settings(), syncer, tuning, players, window, transposer, port, v5};
    useTestClock(deps);
    // The wait for the intro lasts until the test lets it end.
    bool holdIntro = true;
    const SongTracker::Sleep fast = deps.sleep;
    deps.sleep = [&holdIntro, fast](std::chrono::milliseconds d, std::stop_token stop) {
        return d == SongTracker::kVerifyDelay && holdIntro ? cancellation::sleepFor(1h, std::move(stop))
                                                           : fast(d, std::move(stop));
    };
    const Song sunny{u("晴天"), u("周杰伦")};
    const Song tenYears{u("十年"), u("陈奕迅")};
    players.song = sunny;
    players.source = u("QQ音乐");
    ASSERT_TRUE(waitFor([&] { return port.selectedChannel().has_value(); }));
    tracker = std::make_unique<SongTracker>(deps);
    tracker->start();
    ASSERT_TRUE(waitFor([&] { return state.synced() && tracker->isVerificationRunning(); }));

    // During the wait: another song.
    players.song = tenYears;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("Bb 小调"); }));
    // Back again: it is checked again (its id was given back), and this time it records.
    holdIntro = false;
    players.song = sunny;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("B 大调"); }));
    EXPECT_TRUE(tracker->isVerificationRunning());
    ASSERT_TRUE(waitFor([&] { return ownRecordStreams() == 1; }));

    // During the recording: another song, whose own check waits.
    holdIntro = true;
    players.song = tenYears;
    ASSERT_TRUE(waitFor([&] { return state.keyText() == u("Bb 小调"); }));
    ASSERT_TRUE(waitFor([&] { return ownRecordStreams() == 0; }));
    tracker.reset();
    drainCancelledTasks();
    EXPECT_EQ(requestsTo("/v1/key/report"), 0);
    // Both songs can be claimed again.
    EXPECT_TRUE(report_book::claimVerification(tracker_rules::songId(sunny.artist, sunny.title)));
    EXPECT_TRUE(report_book::claimVerification(tracker_rules::songId(tenYears.artist, tenYears.title)));
    report_book::resetForTests();
}
