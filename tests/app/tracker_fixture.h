#pragma once

// The song tracker over scripted players, windows and audio, the real key-library server
// and a clock its own waits move forward, so its schedule runs in milliseconds.
#include "app/local_detection.h"
#include "app/song_tracker.h"
#include "core/app_state.h"
#include "keydetect/v5/key_detector_v5.h"
#include "keylib_test_base.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/tuning_controls.h"
#include "support/text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

struct ScriptedPlayers final : PlayerPort {
    std::optional<Song> song;
    QString source = u("QQ音乐");
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
        std::optional<Song> copy = song; // co_return would move the member out
        co_return copy;
    }
    QString lastPlayerLabel() const override { return player; }
    bool screenCaptureAllowed() const override { return allowed; }
};

struct CountingTransposer final : TransposerPort {
    int starts = 0;
    void start() override { ++starts; }
    void stop() override {}
};

// A channel listed only while `listed`; 4 s recordings from `script`, each moving the
// clock by its length. Other lengths (the library-key check's 45 s) record nothing.
struct ScriptedAudio final : AudioPort {
    explicit ScriptedAudio(SongTracker::TimePoint& clock) : now(clock) {}
    SongTracker::TimePoint& now;
    AudioChannel channel{7, u("Monitor of Loopback"), u("loop.monitor")};
    bool listed = false;
    std::function<std::optional<std::vector<float>>(int)> script;
    int captures = 0;
    std::function<void()> onChange;

    std::vector<AudioChannel> listInputs() const override
    {
        return listed ? std::vector{channel} : std::vector<AudioChannel>{};
    }
    std::optional<AudioChannel> selectedChannel() const override
    {
        return listed ? std::optional(channel) : std::nullopt;
    }
    QCoro::Task<std::optional<std::vector<float>>> capture(uint32_t, std::chrono::duration<double> length,
                                                           std::stop_token stop) override
    {
        if (!script || length != LocalDetection::kCaptureLength)
            co_return std::nullopt;
        now += std::chrono::seconds(4);
        co_await cancellation::sleepFor(std::chrono::milliseconds(1), stop);
        std::optional<std::vector<float>> recording = script(++captures);
        co_return recording;
    }
    void setInputsChanged(std::function<void()> change) override { onChange = std::move(change); }
    void list(bool value)
    {
        listed = value;
        onChange();
    }
};

class TrackerFixture : public KeylibTestBase {
protected:
    explicit TrackerFixture(const char* seedJson) : KeylibTestBase(seedJson) {}
    void TearDown() override
    {
        tracker.reset();
        finishServer();
    }
    // The tracker's parts; the test clock unless `realTime`.
    SongTracker::Deps deps(AudioPort& port, TransposerPort& output, bool realTime = false)
    {
        SongTracker::Deps d{state, home.settings(), syncer, tuning, players, window, output, port, v5};
        if (!realTime) {
            d.now = [this] { return now; };
            d.sleep = sleep();
        }
        return d;
    }
    SongTracker::Sleep sleep()
    {
        return [this](std::chrono::milliseconds d, std::stop_token stop) -> QCoro::Task<bool> {
            sleeps.push_back(d);
            now += d;
            co_return co_await cancellation::sleepFor(std::chrono::milliseconds(1), stop);
        };
    }
    // `fast`, but the wait before a library-key check lasts while `holdCheck`.
    SongTracker::Sleep holdingTheCheck(SongTracker::Sleep fast)
    {
        return [this, fast](std::chrono::milliseconds d, std::stop_token stop) {
            return d == SongTracker::kVerifyDelay && holdCheck
                       ? cancellation::sleepFor(std::chrono::hours(1), std::move(stop))
                       : fast(d, std::move(stop));
        };
    }
    void startTracker(SongTracker::Deps d, LocalDetectionPort* detection = nullptr)
    {
        tracker = std::make_unique<SongTracker>(std::move(d));
        tracker->setLocalDetection(detection);
        tracker->start();
    }
    void startTracker() { startTracker(deps(audio, transposer)); }
    int requestsTo(const char* path) const { return static_cast<int>(bodiesTo(path).size()); }
    QList<QJsonObject> bodiesTo(const char* path) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject& r : server->requests()) {
            if (r.value(QLatin1String("path")).toString().startsWith(QLatin1String(path)))
                out << QJsonDocument::fromJson(r.value(QLatin1String("body")).toString().toUtf8()).object();
        }
        return out;
    }
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 20000); }
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
    CountingTransposer transposer;
    SongTracker::TimePoint now{};
    ScriptedAudio audio{now};
    KeyDetectorV5 v5{[] { return std::optional<QString>(); }};
    std::vector<std::chrono::milliseconds> sleeps;
    bool holdCheck = true;
    std::unique_ptr<SongTracker> tracker;
};
