// The real program following a real player: a process named "qqmusic" announcing songs
// over MPRIS on a private bus, the key library on loopback, the host plug-in simulator on
// the link directory, accompaniment played into the null sink "loop". What the plug-in
// sees is read from the link files.
#include "keydetect/synth.h"
#include "program_e2e.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sys/stat.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

// Twelve songs, each in another key (the lookup answers these display keys).
constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "晴天", "key": "B 大调"},
  {"artist": "陈奕迅", "title": "十年", "key": "C 大调"},
  {"artist": "歌手", "title": "一", "key": "D 大调"},
  {"artist": "歌手", "title": "二", "key": "E 大调"},
  {"artist": "歌手", "title": "三", "key": "F 大调"},
  {"artist": "歌手", "title": "四", "key": "G 大调"},
  {"artist": "歌手", "title": "五", "key": "A 大调"},
  {"artist": "歌手", "title": "六", "key": "D 小调"},
  {"artist": "歌手", "title": "七", "key": "E 小调"},
  {"artist": "歌手", "title": "八", "key": "A 小调"},
  {"artist": "歌手", "title": "九", "key": "B 小调"},
  {"artist": "歌手", "title": "十", "key": "G 小调"}
])";

class SongE2E : public ProgramE2E {
protected:
    void SetUp() override
    {
        startServices(kSeed);
        configure([this](SettingsStore& settings) {
            settings.setPrivacyConsent(true);
            settings.setServerBaseURL(server->baseURL());
            settings.setAccessToken(QStringLiteral("e2e-token"));
            settings.setLastUsedTranspose(2);
        });
        QDir().mkpath(linkDir());
        sim.start(QStringLiteral(TONIVOX_PLUGIN_SIM), {QStringLiteral("--dir"), linkDir()});
        ASSERT_TRUE(sim.waitForStarted(5000));
    }
    void TearDown() override
    {
        stopProgram();
        sim.kill();
        sim.waitForFinished(3000);
        accompaniment.kill();
        accompaniment.waitForFinished(3000);
    }
    // Another key-library server (the seed and `arguments`), and the stored address with it.
    void replaceServer(QStringList arguments)
    {
        server.reset();
        server = std::make_unique<KeylibServerProcess>(arguments << QStringLiteral("--seed") << seed);
        ASSERT_TRUE(server->started());
        configure([this](SettingsStore& settings) { settings.setServerBaseURL(server->baseURL()); });
    }
    // The accompaniment of the song: a chord progression in a key, played into the null sink
    // "loop" whose monitor is the stored accompaniment channel.
    void playAccompaniment(int tonic, double seconds)
    {
        configure([](SettingsStore& settings) {
            settings.setAccompanimentChannelUID(QStringLiteral("loop.monitor"));
        });
        const QString path = files.filePath(QStringLiteral("accompaniment.wav"));
        ASSERT_TRUE(synth::writeWav(path, synth::progression(tonic, synth::majorCadence(), seconds, 48000),
                                    48000, 2));
        accompaniment.start(QStringLiteral("paplay"), {QStringLiteral("--device=loop"), path});
        ASSERT_TRUE(accompaniment.waitForStarted(5000));
    }
    bool stateHas(const QString& line) const { return state().split(QLatin1Char('\n')).contains(line); }
    // One state file as the plug-in reads it, and which write it was (every write is a rename).
    struct Reading {
        std::optional<qint64> seq;
        std::optional<int> key, scale;
        QString text;
        std::pair<ino_t, qint64> write{};
    };
    Reading read() const
    {
        Reading r;
        const QByteArray path = QFile::encodeName(linkDir() + QStringLiteral("/plugin_state.txt"));
        struct stat info = {};
        if (::stat(path.constData(), &info) == 0)
            r.write = {info.st_ino, qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
        r.text = state();
        for (const QString& line : r.text.split(QLatin1Char('\n'))) {
            const QString name = line.section(QLatin1Char('='), 0, 0);
            bool ok = false;
            const double value = line.section(QLatin1Char('='), 1).toDouble(&ok);
            if (!ok)
                continue;
            if (name == u("seq"))
                r.seq = static_cast<qint64>(value);
            else if (name == u("key"))
                r.key = static_cast<int>(std::lround(value));
            else if (name == u("scale"))
                r.scale = static_cast<int>(std::lround(value));
        }
        return r;
    }
    std::optional<double> param(const char* name) const
    {
        const QString prefix = u(name) + QLatin1Char('=');
        for (const QString& line : state().split(QLatin1Char('\n'))) {
            bool ok = false;
            const double value = line.startsWith(prefix) ? line.mid(prefix.size()).toDouble(&ok) : 0;
            if (ok)
                return value;
        }
        return std::nullopt;
    }
    bool paramIs(const char* name, double value) const
    {
        const auto v = param(name);
        return v && std::abs(*v - value) < 1e-3;
    }
    // The plug-in simulator writes a change set; true once it is written.
    bool simWritesParams(const QByteArray& assignments)
    {
        sim.readAllStandardOutput();
        sim.write("params " + assignments + '\n');
        return QTest::qWaitFor([&] { return sim.readAllStandardOutput().contains("wrote seq="); }, 5000);
    }
    QString detectLog() const
    {
        QFile f(linkDir() + QStringLiteral("/detect_debug.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QList<QJsonObject> bodiesTo(const char* path) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject& r : server->requests()) {
            if (r.value(u("path")).toString() == u(path))
                out << QJsonDocument::fromJson(r.value(u("body")).toString().toUtf8()).object();
        }
        return out;
    }
    void terminateProgram()
    {
        const qint64 pid = program.processId();
        ASSERT_GT(pid, 0); // never pid 0: that would signal the test's own process group
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        ASSERT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
    }
    // The quit record alone: a seq and "appRunning=0".
    bool isQuitRecord(const QString& text) const
    {
        static const QRegularExpression quit(QStringLiteral("^seq=[1-9][0-9]*\\nappRunning=0\\n$"));
        return quit.match(text).hasMatch();
    }
    bool keyAndScale(int key, int scale) const
    {
        const Reading r = read();
        return r.key == key && r.scale == scale;
    }

    QProcess sim;
    QProcess accompaniment;
};

} // namespace

TEST_F(SongE2E, ALibrarySongReachesThePluginShiftedAndItsListeningTimeIsReported)
{
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    startProgram();
    // B is 11; the stored transposition of +2 makes it 1, a major scale.
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(1, 1); }, 10000)) << state().toStdString();
    EXPECT_TRUE(stateHas(u("appRunning=1")));
    const QStringList lines = state().split(QLatin1Char('\n'));
    const auto songLine = std::find_if(lines.begin(), lines.end(),
                                       [](const QString& l) { return l.startsWith(u("meta_song=")); });
    ASSERT_NE(songLine, lines.end()) << state().toStdString();
    EXPECT_TRUE(songLine->contains(u("晴天")) && songLine->contains(u("周杰伦"))) << songLine->toStdString();
    EXPECT_TRUE(stateHas(u("meta_key=C#/Db 大调（+2）"))) << state().toStdString();

    // Played for more than 3 s, then another song: the first one's time is reported.
    QTest::qWait(3500);
    ASSERT_TRUE(announce(u("十年"), u("陈奕迅")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(2, 1); }, 10000)) << state().toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const QJsonObject& r : server->requests()) {
                if (r.value(u("path")).toString() != u("/v1/play/duration"))
                    continue;
                const QJsonObject body =
                    QJsonDocument::fromJson(r.value(u("body")).toString().toUtf8()).object();
                if (body.value(u("title")).toString() == u("晴天") &&
                    body.value(u("seconds")).toDouble() >= 3.0)
                    return true;
            }
            return false;
        },
        10000));
}

// Measures, asserts nothing about time: from the player's announcement to the key in the
// state file, over ten changes between songs the library knows.
TEST_F(SongE2E, TimeToKeyFromAnnouncementToStateFile)
{
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(1, 1); }, 10000));

    struct Change {
        const char* title;
        int key; // semitone + 2
        int scale;
    };
    const Change changes[] = {{"一", 4, 1}, {"二", 6, 1}, {"三", 7, 1},  {"四", 9, 1}, {"五", 11, 1},
                              {"六", 4, 2}, {"七", 6, 2}, {"八", 11, 2}, {"九", 1, 2}, {"十", 9, 2}};
    std::vector<qint64> times;
    for (const Change& change : changes) {
        QElapsedTimer timer;
        timer.start();
        ASSERT_TRUE(announce(u(change.title), u("歌手")));
        const QString title = u(change.title);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return keyAndScale(change.key, change.scale) && state().contains(title); }, 10000))
            << change.title;
        times.push_back(timer.elapsed());
    }
    std::sort(times.begin(), times.end());
    const qint64 median = (times[4] + times[5]) / 2;
    std::printf("time to key over %zu changes: median %lld ms, worst %lld ms\n", times.size(),
                static_cast<long long>(median), static_cast<long long>(times.back()));
    RecordProperty("median_ms", static_cast<int>(median));
    RecordProperty("worst_ms", static_cast<int>(times.back()));
}

// An unknown song with its accompaniment on the chosen channel: the plug-in goes chromatic
// at once and is held there while the program listens; the key the accompaniment is in
// reaches the plug-in after the first measurement, and the report with both detectors'
// evidence reaches the library. From then on the link never goes back (one link, one map).
TEST_F(SongE2E, AnUnknownSongIsHeldChromaticThenTakesItsAccompanimentsKey)
{
    playAccompaniment(9, 150.0); // A major
    ASSERT_TRUE(announce(u("无名之歌"), u("无名氏")));
    startProgram();

    // C (the key line names no note) shifted by +2, chromatic.
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(2, 0); }, 15000)) << state().toStdString();
    EXPECT_TRUE(stateHas(u("meta_key=半音阶模式"))) << state().toStdString();
    const qint64 firstSeq = read().seq.value_or(0);
    // The fallback goes out again while listening: a new write with the same chromatic key
    // (a heartbeat keeps the seq).
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const Reading r = read();
            return r.key == 2 && r.scale == 0 && r.seq.value_or(0) > firstSeq;
        },
        30000))
        << state().toStdString();

    // Held chromatic until the first measurement decides: A is 9, +2 makes it 11, major.
    bool leftChromaticEarly = false;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const Reading r = read();
            if (r.key == 11 && r.scale == 1)
                return true;
            leftChromaticEarly = leftChromaticEarly || !(r.key == 2 && r.scale == 0);
            return false;
        },
        180000))
        << state().toStdString() << detectLog().toStdString();
    EXPECT_FALSE(leftChromaticEarly);
    EXPECT_TRUE(stateHas(u("meta_key=B 大调（+2）"))) << state().toStdString();
    const QString log = detectLog();
    const qsizetype measured = log.indexOf(u("[无名氏 - 无名之歌] 第 1 次测量（已听 "));
    const qsizetype decided = log.indexOf(u("[无名氏 - 无名之歌] 定调 → A 大调"));
    ASSERT_GE(measured, 0) << log.toStdString();
    EXPECT_GT(decided, measured) << log.toStdString();
    EXPECT_GE(log.count(u("半音阶保底已下发 key=0 scale=0(Chromatic)")), 2) << log.toStdString();

    ASSERT_TRUE(QTest::qWaitFor([&] { return !bodiesTo("/v1/key/report").isEmpty(); }, 20000));
    const QJsonObject report = bodiesTo("/v1/key/report").first();
    EXPECT_EQ(report.value(u("artist")).toString(), u("无名氏"));
    EXPECT_EQ(report.value(u("title")).toString(), u("无名之歌"));
    EXPECT_EQ(report.value(u("key")).toString(), u("A 大调"));
    EXPECT_EQ(report.value(u("local_v2_key")).toString(), u("A 大调"));
    EXPECT_GE(report.value(u("confidence")).toDouble(), 0.75);
    EXPECT_EQ(report.value(u("conflict")), QJsonValue(false));
    EXPECT_EQ(report.value(u("decision_engine")).toString(), u("shadow_v2"));
    EXPECT_EQ(report.value(u("model_version")).toString(), u("keynet_v5_coreml_1"));
    EXPECT_EQ(report.value(u("window_seconds")).toDouble(), 45.0);
    EXPECT_EQ(report.value(u("source")).toString(), u("QQ音乐"));
    // The neural detector shadowed the decision with a verdict of its own.
    EXPECT_FALSE(report.value(u("model_key")).toString().isEmpty())
        << QJsonDocument(report).toJson().toStdString();
    EXPECT_TRUE(report.value(u("model_confidence")).isDouble());
    EXPECT_TRUE(report.value(u("model_margin")).isDouble());
    EXPECT_NE(report.value(u("agreement")).toString(), u("unknown"));

    // One link: over 10 s of state files, heartbeats included, the key and scale stay and
    // the seq never goes back (a second writer would bring its own map and seq).
    std::set<std::pair<ino_t, qint64>> writes;
    qint64 lastSeq = 0;
    QElapsedTimer span;
    span.start();
    while (span.elapsed() < 10000) {
        const Reading r = read();
        ASSERT_TRUE(r.key == 11 && r.scale == 1) << r.text.toStdString();
        ASSERT_GE(r.seq.value_or(0), lastSeq) << r.text.toStdString();
        lastSeq = r.seq.value_or(0);
        writes.insert(r.write);
        QTest::qWait(20);
    }
    EXPECT_GE(writes.size(), 4u); // the 2 s heartbeat, at least
    EXPECT_EQ(bodiesTo("/v1/key/report").size(), 1);

    // Both detectors' executors have worked: the program still quits at once, cleanly.
    terminateProgram();
    EXPECT_TRUE(isQuitRecord(state())) << state().toStdString();
}

// With "neural_first" stored, a confident neural verdict decides the unknown song: its key
// reaches the plug-in and the report names the engine that decided.
TEST_F(SongE2E, UnderNeuralFirstTheModelDecidesAnUnknownSong)
{
    configure([](SettingsStore& settings) { settings.setKeyDecisionEngine(KeyDecisionEngine::neuralFirst); });
    playAccompaniment(9, 90.0); // A major
    ASSERT_TRUE(announce(u("无名之歌"), u("无名氏")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(11, 1); }, 180000))
        << state().toStdString() << detectLog().toStdString();
    EXPECT_TRUE(detectLog().contains(u("[无名氏 - 无名之歌] 定调 → A 大调（神经网络 confidence ")))
        << detectLog().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !bodiesTo("/v1/key/report").isEmpty(); }, 20000));
    const QJsonObject report = bodiesTo("/v1/key/report").first();
    EXPECT_EQ(report.value(u("key")).toString(), u("A 大调"));
    EXPECT_EQ(report.value(u("decision_engine")).toString(), u("neural_v5"));
    EXPECT_EQ(report.value(u("confidence")), report.value(u("model_confidence")));
}

// Stopped by the system while listening: the quit steps leave the quit record alone, and
// nothing of the run (a recording ending, a fallback) writes after them.
TEST_F(SongE2E, TerminatedWhileListeningLeavesExactlyTheQuitRecord)
{
    playAccompaniment(9, 60.0);
    ASSERT_TRUE(announce(u("无名之歌"), u("无名氏")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(2, 0); }, 15000)) << state().toStdString();
    // A recording has been counted; the next one is under way.
    ASSERT_TRUE(QTest::qWaitFor([&] { return detectLog().contains(u("] 采集")); }, 20000))
        << detectLog().toStdString();

    terminateProgram();
    const QString quit = state();
    EXPECT_TRUE(isQuitRecord(quit)) << quit.toStdString();
    QTest::qWait(3000);
    EXPECT_EQ(state(), quit);
}

// The key line over the plug-in link: a refused version, then no server at all.
TEST_F(SongE2E, LookupFailuresReachTheKeyLineAndPushNoKey)
{
    replaceServer({QStringLiteral("--min-version"), QStringLiteral("99.0")});
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return stateHas(u("meta_key=版本过旧")) && stateHas(u("meta_detail=版本过旧，请升级到最新版"));
        },
        10000))
        << state().toStdString();
    EXPECT_FALSE(read().key) << state().toStdString();

    server.reset();
    ASSERT_TRUE(announce(u("十年"), u("陈奕迅")));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return stateHas(u("meta_song=陈奕迅 - 十年")) && stateHas(u("meta_key=网络不稳定")) &&
                   stateHas(u("meta_detail=请稍后重试"));
        },
        10000))
        << state().toStdString();
    EXPECT_FALSE(read().key) << state().toStdString();
}

// A lookup the server never answers: the program goes on serving its link (the heartbeat
// keeps rewriting the state file, the song already shows) and quits at once when asked.
TEST_F(SongE2E, AHangingLookupHoldsNothingBack)
{
    replaceServer({QStringLiteral("--delay-ms"), QStringLiteral("120000")});
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->errorOutput().contains("delaying an answer"); }, 10000));
    std::set<std::pair<ino_t, qint64>> writes;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const Reading r = read();
            if (r.text.contains(u("meta_song=周杰伦 - 晴天")))
                writes.insert(r.write);
            return writes.size() >= 3;
        },
        20000))
        << state().toStdString();
    EXPECT_FALSE(read().key);
    EXPECT_TRUE(server->requests().isEmpty()); // still unanswered

    terminateProgram();
    EXPECT_TRUE(isQuitRecord(state())) << state().toStdString();
}

// The plug-in's own changes are taken while it is connected; a change set it leaves while
// it is away (no heartbeat for longer than the liveness window) is dropped, and is not
// taken later when the plug-in comes back either.
TEST_F(SongE2E, AChangeSetFromAPluginThatIsAwayIsDropped)
{
    ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
    startProgram();
    ASSERT_TRUE(QTest::qWaitFor([&] { return keyAndScale(1, 1); }, 10000)) << state().toStdString();
    // The program has seen the plug-in come up (its 1 s poll) and pushed it the preset,
    // discarding what was pending: only later change sets count.
    QTest::qWait(2500);
    ASSERT_TRUE(simWritesParams("retune=0.2"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return paramIs("retune", 0.2); }, 10000)) << state().toStdString();

    sim.write("stop-alive\n");
    QTest::qWait(10000); // beyond the 8 s liveness window: the plug-in is away
    ASSERT_TRUE(simWritesParams("retune=0.9"));
    QTest::qWait(3000); // three of the program's reads of the change set
    EXPECT_TRUE(paramIs("retune", 0.2)) << state().toStdString();

    // Back again (a new simulator, alive at once): the old change set stays dropped.
    sim.kill();
    sim.waitForFinished(3000);
    sim.start(QStringLiteral(TONIVOX_PLUGIN_SIM), {QStringLiteral("--dir"), linkDir()});
    ASSERT_TRUE(sim.waitForStarted(5000));
    QTest::qWait(3000);
    EXPECT_FALSE(paramIs("retune", 0.9)) << state().toStdString();
}
