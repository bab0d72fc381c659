#include "core/settings_store.h"
#include "platform/tesseract_text_recognizer.h"
#include "platform/window_reader.h"
#include "platform/x11_desktop_windows.h"
#include "player_fixtures.h"
#include "players/player_detector.h"
#include "support/temp_home.h"

#include <QCoro/QCoroTask>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class PlayerDetectorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs tests/run-with-services";
        reader = std::make_unique<platform::WindowReader>();
        detector = makeDetector(*reader);
    }
    std::unique_ptr<PlayerDetector> makeDetector(platform::WindowReader& r)
    {
        auto d = std::make_unique<PlayerDetector>(
            PlayerDetector::Deps{r, home.settings(), std::make_shared<OwnChildren>(),
                                 [this](const QString& line) { log << line; }, [this] { return now; }, 20ms});
        return d;
    }
    std::optional<Song> recognise() { return QCoro::waitFor(detector->ocrCurrentSong()); }
    // Waits until the window manager reports the process's window as active.
    void waitActive(qint64 pid)
    {
        for (int i = 0; i < 100; ++i) {
            const auto desktop = reader->list().result();
            if (desktop && desktop->activeProcess == pid)
                return;
            QThread::msleep(50);
        }
        ADD_FAILURE() << "window never became active";
    }

    // Waits until none of the processes owns the active window.
    void waitNotActive(std::initializer_list<qint64> pids)
    {
        for (int i = 0; i < 100; ++i) {
            const auto desktop = reader->list().result();
            if (desktop && std::find(pids.begin(), pids.end(), desktop->activeProcess) == pids.end())
                return;
            QThread::msleep(50);
        }
        ADD_FAILURE() << "a player window stayed active";
    }

    // Waits until none of the process's windows is on screen.
    void waitOffScreen(qint64 pid)
    {
        for (int i = 0; i < 100; ++i) {
            const auto desktop = reader->list().result();
            if (desktop && std::none_of(desktop->windows.begin(), desktop->windows.end(), [&](const auto& w) {
                    return w.processIdentifier == pid &&
                           std::find(desktop->onScreenTopFirst.begin(), desktop->onScreenTopFirst.end(),
                                     w.id) != desktop->onScreenTopFirst.end();
                }))
                return;
            QThread::msleep(50);
        }
        ADD_FAILURE() << "window never left the screen";
    }

    TempHome home;
    QStringList log;
    PlayerDetector::Clock::time_point now = PlayerDetector::Clock::now();
    std::unique_ptr<platform::WindowReader> reader;
    std::unique_ptr<PlayerDetector> detector;
};

void expectSong(const std::optional<Song>& song, const QString& title, const QString& artist)
{
    ASSERT_TRUE(song.has_value());
    EXPECT_EQ(song->title, title);
    EXPECT_EQ(song->artist, artist);
}

} // namespace

TEST_F(PlayerDetectorTest, ReadsTheBarsOfTheThreePlayersAndNeverTheDecoys)
{
    {
        PlayerWindow qq(QStringLiteral("qqmusic"), QStringLiteral("800x600"),
                        QStringLiteral("bar Blue Sky - Anna Lee"),
                        {QStringLiteral("--left"), QStringLiteral("310")});
        waitActive(qq.pid());
        expectSong(recognise(), QStringLiteral("Blue Sky"), QStringLiteral("Anna Lee"));
        EXPECT_EQ(detector->lastPlayerLabel(), QStringLiteral("窗口识别(QQ音乐)"));
    }
    {
        PlayerWindow kugou(QStringLiteral("kugou"), QStringLiteral("800x600"),
                           QStringLiteral("bar 晴天 - 周杰伦"));
        waitActive(kugou.pid());
        now += 3s;
        expectSong(recognise(), QStringLiteral("晴天"), QStringLiteral("周杰伦"));
        EXPECT_TRUE(kugou.send(QStringLiteral("bar Half-Life - Rain")));
        now += 3s;
        expectSong(recognise(), QStringLiteral("Half-Life"), QStringLiteral("Rain"));
        EXPECT_TRUE(kugou.send(QStringLiteral("bar 播放列表")));
        now += 3s;
        EXPECT_FALSE(recognise());
    }
    {
        PlayerWindow small(QStringLiteral("kugou"), QStringLiteral("800x600"),
                           QStringLiteral("bar 晴天 - 周杰伦"),
                           {QStringLiteral("--text"), QStringLiteral("18")});
        waitActive(small.pid());
        now += 3s;
        expectSong(recognise(), QStringLiteral("晴天"), QStringLiteral("周杰伦"));
    }
    {
        PlayerWindow netease(
            QStringLiteral("netease-cloud-music"), QStringLiteral("800x600"),
            QStringLiteral("two 稻香|周杰伦"),
            {QStringLiteral("--left"), QStringLiteral("110"), QStringLiteral("--bar"), QStringLiteral("80")});
        waitActive(netease.pid());
        now += 3s;
        expectSong(recognise(), QStringLiteral("稻香"), QStringLiteral("周杰伦"));
        EXPECT_EQ(detector->lastPlayerLabel(), QStringLiteral("窗口识别(网易云音乐)"));
    }
    {
        // Dark theme: light text on a dark bar.
        PlayerWindow dark(QStringLiteral("netease-cloud-music"), QStringLiteral("800x600"),
                          QStringLiteral("two 晴天|周杰伦"),
                          {QStringLiteral("--left"), QStringLiteral("110"), QStringLiteral("--bar"),
                           QStringLiteral("80"), QStringLiteral("--dark")});
        waitActive(dark.pid());
        now += 3s;
        expectSong(recognise(), QStringLiteral("晴天"), QStringLiteral("周杰伦"));
    }
}

TEST_F(PlayerDetectorTest, TitlesComeBeforeScreenshotsAndTheLyricWindowIsNeverRead)
{
    {
        // QQ Music's lyric window: large, a song-like line, never read.
        PlayerWindow lyric(QStringLiteral("qqmusic"), QStringLiteral("800x600"),
                           QStringLiteral("bar Blue Sky - Anna Lee"),
                           {QStringLiteral("--left"), QStringLiteral("310"), QStringLiteral("--title"),
                            QStringLiteral("歌词")});
        waitActive(lyric.pid());
        const int grabs = reader->grabCount();
        EXPECT_FALSE(recognise());
        EXPECT_EQ(reader->grabCount(), grabs);
    }
    {
        // NetEase's Windows client, its process named as Wine names it: the title names the song.
        PlayerWindow netease(
            QStringLiteral("cloudmusic.exe"), QStringLiteral("800x600"), QStringLiteral("two 别的歌|别人"),
            {QStringLiteral("--left"), QStringLiteral("110"), QStringLiteral("--bar"), QStringLiteral("80"),
             QStringLiteral("--title"), QStringLiteral("稻香 - 周杰伦")});
        waitActive(netease.pid());
        now += 3s;
        const int grabs = reader->grabCount();
        expectSong(recognise(), QStringLiteral("稻香"), QStringLiteral("周杰伦"));
        EXPECT_EQ(reader->grabCount(), grabs);
        EXPECT_EQ(detector->lastPlayerLabel(), QStringLiteral("窗口识别(网易云音乐)"));
    }
    {
        // A hostile title (control characters, 10 000 characters) names nothing: the bar is read.
        PlayerWindow netease(
            QStringLiteral("cloudmusic.exe"), QStringLiteral("800x600"), QStringLiteral("two 别的歌|别人"),
            {QStringLiteral("--left"), QStringLiteral("110"), QStringLiteral("--bar"), QStringLiteral("80"),
             QStringLiteral("--title"), QStringLiteral("稻香 - 周杰伦\u0007\t") + QString(10000, u'x')});
        waitActive(netease.pid());
        now += 3s;
        expectSong(recognise(), QStringLiteral("别的歌"), QStringLiteral("别人"));
    }
    {
        // Kugou's Windows client with its static title: the bar is read.
        PlayerWindow kugou(QStringLiteral("KuGou.exe"), QStringLiteral("800x600"),
                           QStringLiteral("bar 晴天 - 周杰伦"),
                           {QStringLiteral("--title"), QStringLiteral("酷狗音乐")});
        waitActive(kugou.pid());
        now += 3s;
        expectSong(recognise(), QStringLiteral("晴天"), QStringLiteral("周杰伦"));
        EXPECT_EQ(detector->lastPlayerLabel(), QStringLiteral("窗口识别(酷狗)"));
    }
    {
        // No window of the three: Spotify's title names the song, unless other players are off.
        PlayerWindow spotify(QStringLiteral("spotify"), QStringLiteral("800x600"), QStringLiteral("bar x"),
                             {QStringLiteral("--title"), QStringLiteral("Adele - Hello")});
        waitActive(spotify.pid());
        now += 3s;
        const int grabs = reader->grabCount();
        expectSong(recognise(), QStringLiteral("Hello"), QStringLiteral("Adele"));
        EXPECT_EQ(detector->lastPlayerLabel(), QStringLiteral("窗口识别(Spotify)"));
        home.settings().setOtherPlayers(false);
        now += 3s;
        EXPECT_FALSE(recognise());
        EXPECT_EQ(reader->grabCount(), grabs);
    }
}

TEST_F(PlayerDetectorTest, ScrollingFragmentsSeenOnceEachMergeAndChangingTextGivesNothing)
{
    PlayerWindow kugou(QStringLiteral("kugou"), QStringLiteral("800x600"),
                       QStringLiteral("bar Blue Sky - An"));
    waitActive(kugou.pid());
    const QStringList scroll = {QStringLiteral("bar Sky - Anna Lee"), QStringLiteral("bar 3:45"),
                                QStringLiteral("bar 3:46"), QStringLiteral("bar 3:47")};
    detector->setPassHook([&](int pass) -> QCoro::Task<> {
        EXPECT_TRUE(kugou.send(scroll.value(pass)));
        co_return;
    });
    expectSong(recognise(), QStringLiteral("Blue Sky"), QStringLiteral("Anna Lee"));

    const QStringList changing = {
        QStringLiteral("bar Red Sun - Bob Marley"), QStringLiteral("bar Green Day - Cat Power"),
        QStringLiteral("bar Wild Fox - Dan Brown"), QStringLiteral("bar Old Oak - Eve Holt")};
    detector->setPassHook([&](int pass) -> QCoro::Task<> {
        EXPECT_TRUE(kugou.send(changing.value(pass)));
        co_return;
    });
    EXPECT_TRUE(kugou.send(QStringLiteral("bar Cold Rain - Ann Wu")));
    now += 3s;
    const auto read = recognise();
    EXPECT_FALSE(read) << read->title.toStdString() << " / " << read->artist.toStdString();
}

TEST_F(PlayerDetectorTest, ChoosesTheFrontPlayerCachesTwoSecondsAndIgnoresSmallWindows)
{
    {
        PlayerWindow narrow(QStringLiteral("kugou"), QStringLiteral("599x600"),
                            QStringLiteral("bar Blue Sky - Anna Lee"));
        PlayerWindow low(QStringLiteral("qqmusic"), QStringLiteral("600x399"),
                         QStringLiteral("bar Blue Sky - Anna Lee"));
        waitActive(low.pid());
        EXPECT_FALSE(recognise());
        EXPECT_EQ(reader->grabCount(), 0);
    }
    PlayerWindow kugou(QStringLiteral("kugou"), QStringLiteral("800x600"),
                       QStringLiteral("bar Blue Sky - Anna Lee"));
    PlayerWindow qq(QStringLiteral("qqmusic"), QStringLiteral("800x600"), QStringLiteral("bar 3:45"),
                    {QStringLiteral("--left"), QStringLiteral("310")});
    EXPECT_TRUE(qq.send(QStringLiteral("raise")));
    waitActive(qq.pid());
    now += 3s;
    EXPECT_FALSE(recognise());
    const int afterNone = reader->grabCount();
    EXPECT_GT(afterNone, 0);
    now += 1900ms;
    EXPECT_FALSE(recognise());
    EXPECT_EQ(reader->grabCount(), afterNone) << "a none result is cached too";
    EXPECT_EQ(home.settings().ocrPinnedPlayer(), QStringLiteral("QQ音乐"));

    // Raising the other window changes the front player: a fresh capture at once.
    EXPECT_TRUE(kugou.send(QStringLiteral("raise")));
    waitActive(kugou.pid());
    expectSong(recognise(), QStringLiteral("Blue Sky"), QStringLiteral("Anna Lee"));
    EXPECT_GT(reader->grabCount(), afterNone);
    const int afterSong = reader->grabCount();
    now += 1s;
    expectSong(recognise(), QStringLiteral("Blue Sky"), QStringLiteral("Anna Lee"));
    EXPECT_EQ(reader->grabCount(), afterSong);
    EXPECT_EQ(home.settings().ocrPinnedPlayer(), QStringLiteral("酷狗"));
}

TEST_F(PlayerDetectorTest, WithNoPlayerInFrontOrOnScreenThePinDecidesAndTheFirstWindowSetsNoPin)
{
    // Both minimised: listed, but neither on screen, and no player is in front.
    PlayerWindow kugou(QStringLiteral("kugou"), QStringLiteral("900x700"),
                       QStringLiteral("bar Blue Sky - Anna Lee"));
    PlayerWindow qq(QStringLiteral("qqmusic"), QStringLiteral("800x600"),
                    QStringLiteral("bar Blue Sky - Anna Lee"),
                    {QStringLiteral("--left"), QStringLiteral("310")});
    EXPECT_TRUE(kugou.send(QStringLiteral("minimise")));
    EXPECT_TRUE(qq.send(QStringLiteral("minimise")));
    waitOffScreen(kugou.pid());
    waitOffScreen(qq.pid());
    // The window manager hands the focus on after the windows are gone, not with it.
    waitNotActive({kugou.pid(), qq.pid()});

    home.settings().setOcrPinnedPlayer(QStringLiteral("QQ音乐"));
    // A minimised window has no picture: the passes fail and nothing is read.
    EXPECT_FALSE(recognise());
    EXPECT_EQ(detector->lastPlayerLabel(), QStringLiteral("窗口识别(QQ音乐)"))
        << "the pinned player, not the larger window";
    EXPECT_EQ(home.settings().ocrPinnedPlayer(), QStringLiteral("QQ音乐"));

    home.settings().removeOcrPinnedPlayer();
    now += 3s;
    EXPECT_FALSE(recognise());
    EXPECT_EQ(detector->lastPlayerLabel(), QStringLiteral("窗口识别(酷狗)"))
        << "the first window: the larger one";
    EXPECT_FALSE(home.settings().ocrPinnedPlayer()) << "the first window sets no pin";
}

// An X server of the test's own, with openbox, that can be stopped and started again on the
// same display. Its number is one of its own, far above those Xvfb picks for itself (the
// lowest free one), so that no server of a test running beside it takes the number while it
// is down.
class OwnXServer {
public:
    OwnXServer()
    {
        for (int attempt = 0; attempt < 20 && !m_up; ++attempt) {
            m_up = start(2000 + QRandomGenerator::global()->bounded(30000));
            if (!m_up)
                stop();
        }
    }
    ~OwnXServer() { stop(); }
    bool isUp() const { return m_up; }
    QString display() const { return u':' + QString::number(m_number); }
    void stop()
    {
        for (QProcess* p : {&m_wm, &m_server}) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
            p->waitForFinished();
        }
        m_up = false;
    }
    bool restart() { return m_up = start(m_number); }

private:
    // Up once the server wrote its number; a number in use ends it instead.
    bool start(int number)
    {
        m_ready.setFileName(m_dir.filePath(QStringLiteral("display")));
        m_ready.remove();
        m_server.start(QStringLiteral("bash"),
                       {QStringLiteral("-c"),
                        QStringLiteral("exec Xvfb :%1 -displayfd 3 -screen 0 1280x800x24 -nolisten tcp "
                                       "-noreset 3>'%2' 2>/dev/null")
                            .arg(number)
                            .arg(m_ready.fileName())});
        const QDeadlineTimer guard(60s);
        while (m_ready.size() == 0 && !m_server.waitForFinished(20) && !guard.hasExpired()) {
        }
        if (m_ready.size() == 0) {
            m_server.kill();
            m_server.waitForFinished();
            return false;
        }
        m_number = number;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display());
        m_wm.setProcessEnvironment(env);
        m_wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        return windowManagerAnswers();
    }

    QByteArray xprop(const QStringList& arguments) const
    {
        QProcess p;
        p.setProcessEnvironment(m_wm.processEnvironment());
        p.start(QStringLiteral("xprop"), QStringList{QStringLiteral("-root")} + arguments);
        p.waitForFinished();
        return p.readAllStandardOutput();
    }
    // Events that reach openbox while it starts can wait unread until another one comes, so a
    // window mapped then stays unmanaged and never drawn. Once it has started (its desktop
    // names written), openbox completes names short of its desktops as an event arrives: a
    // short name set again until it is completed shows it handles events as they come.
    bool windowManagerAnswers() const
    {
        const QDeadlineTimer guard(60s);
        const auto named = [&](const char* name) {
            return xprop({QStringLiteral("_NET_DESKTOP_NAMES")}).contains(name);
        };
        while (!named("\"desktop 2\"")) {
            if (guard.hasExpired())
                return false;
            QThread::msleep(20);
        }
        while (!guard.hasExpired()) {
            xprop({QStringLiteral("-f"), QStringLiteral("_NET_DESKTOP_NAMES"), QStringLiteral("8u"),
                   QStringLiteral("-set"), QStringLiteral("_NET_DESKTOP_NAMES"), QStringLiteral("probe")});
            for (int look = 0; look < 10; ++look) {
                if (named("\"probe\", \"desktop 2\""))
                    return true;
                QThread::msleep(20);
            }
        }
        return false;
    }

    QTemporaryDir m_dir;
    QFile m_ready;
    QProcess m_server;
    QProcess m_wm;
    int m_number = 0;
    bool m_up = false;
};

TEST(PlayerDetectorXServer, ReadsAgainAfterTheServerWentAwayAndCameBack)
{
    if (qEnvironmentVariableIsEmpty("TONIVOX_TEST_SERVICES"))
        GTEST_SKIP() << "needs tests/run-with-services";
    OwnXServer server;
    ASSERT_TRUE(server.isUp());
    const QByteArray display = server.display().toUtf8();
    TempHome home;
    QStringList log;
    auto now = PlayerDetector::Clock::now();
    platform::WindowReader reader(
        [display] { return std::make_unique<platform::X11DesktopWindows>(display); },
        [] { return std::make_unique<platform::TesseractTextRecognizer>(); });
    PlayerDetector detector(PlayerDetector::Deps{reader, home.settings(), std::make_shared<OwnChildren>(),
                                                 [&](const QString& line) { log << line; },
                                                 [&] { return now; }, 20ms});
    // The window manager is up once the desktop can be listed (the guard only ends a hang).
    const auto desktopListed = [&] {
        const QDeadlineTimer guard(60s);
        while (!reader.list().result()) {
            if (guard.hasExpired())
                return false;
            QThread::msleep(20);
        }
        return true;
    };
    const auto readSong = [&] {
        PlayerWindow kugou(QStringLiteral("kugou"), QStringLiteral("800x600"),
                           QStringLiteral("bar Blue Sky - Anna Lee"), {}, server.display());
        ASSERT_TRUE(kugou.isReady());
        now += 3s;
        expectSong(QCoro::waitFor(detector.ocrCurrentSong()), QStringLiteral("Blue Sky"),
                   QStringLiteral("Anna Lee"));
    };
    ASSERT_TRUE(desktopListed());
    readSong();

    server.stop();
    now += 3s;
    EXPECT_FALSE(QCoro::waitFor(detector.ocrCurrentSong()));
    EXPECT_EQ(log, QStringList{PlayerDetector::noDisplayLogLine()});

    ASSERT_TRUE(server.restart());
    ASSERT_TRUE(desktopListed());
    readSong();

    // The scale follows the server's Xft.dpi resource.
    QProcess xprop;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), server.display());
    xprop.setProcessEnvironment(env);
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-root"), QStringLiteral("-f"), QStringLiteral("RESOURCE_MANAGER"),
                 QStringLiteral("8s"), QStringLiteral("-set"), QStringLiteral("RESOURCE_MANAGER"),
                 QStringLiteral("Xcursor.size:\t24\nXft.dpi:\t192\n")});
    ASSERT_TRUE(xprop.waitForFinished());
    ASSERT_EQ(xprop.exitCode(), 0);
    const auto desktop = reader.list().result();
    ASSERT_TRUE(desktop);
    EXPECT_EQ(desktop->scale, 2.0);
}

TEST(X11DesktopScale, XftDpiOverNinetySixClampedToOneToThree)
{
    using platform::X11DesktopWindows;
    EXPECT_EQ(X11DesktopWindows::scaleFromResources("Xft.dpi:\t192\n"), 2.0);
    EXPECT_EQ(X11DesktopWindows::scaleFromResources("Xcursor.size:\t24\nXft.dpi: 144\r\nXft.antialias:\t1"),
              1.5);
    EXPECT_EQ(X11DesktopWindows::scaleFromResources("Xft.dpi:\t72"), 1.0);
    EXPECT_EQ(X11DesktopWindows::scaleFromResources("Xft.dpi:\t960"), 3.0);
    // Absent, malformed or senseless values: no scaling.
    for (const QByteArray& resources :
         {QByteArray(), QByteArray("Xft.dpix:\t192"), QByteArray("Xft.dpi:"), QByteArray("Xft.dpi:\tlarge"),
          QByteArray("Xft.dpi:\t-192"), QByteArray("Xft.dpi:\tnan"), QByteArray("Xft.dpi:\t0"),
          QByteArray("\0Xft.dpi:\t192", 14)})
        EXPECT_EQ(X11DesktopWindows::scaleFromResources(resources), 1.0) << resources.constData();
}

TEST(PlayerDetectorNoDisplay, LogsOnceAndNeverCaptures)
{
    TempHome home;
    QStringList log;
    platform::WindowReader reader([] { return std::make_unique<platform::X11DesktopWindows>(":4242"); },
                                  [] { return std::make_unique<platform::TesseractTextRecognizer>(); });
    PlayerDetector detector(PlayerDetector::Deps{reader, home.settings(), std::make_shared<OwnChildren>(),
                                                 [&](const QString& line) { log << line; }});
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(QCoro::waitFor(detector.ocrCurrentSong()));
    EXPECT_EQ(log, QStringList{PlayerDetector::noDisplayLogLine()});
    EXPECT_EQ(reader.grabCount(), 0);
    EXPECT_FALSE(reader.allowed());
    EXPECT_FALSE(detector.lastPlayerLabel());
}
