#include "core/settings_store.h"
#include "platform/tesseract_text_recognizer.h"
#include "platform/window_reader.h"
#include "platform/x11_desktop_windows.h"
#include "player_fixtures.h"
#include "players/player_detector.h"

#include <QCoro/QCoroTask>
#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

// "title|artist" of what the detector reads, or empty for nothing.
QString read(PlayerDetector& detector)
{
    return songText(QCoro::waitFor(detector.ocrCurrentSong()));
}

class PlayerDetectorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs tests/run-with-services";
    }
    QString recognise() { return read(detector); }
    // Waits until the window manager's list of the desktop meets `done`.
    void waitDesktop(const std::function<bool(const platform::DesktopWindowList&)>& done, const char* what)
    {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const auto desktop = reader.list().result();
                return desktop && done(*desktop);
            },
            5000))
            << what;
    }
    // Waits until the window is active and moves the clock past the detector's cache.
    void front(const PlayerWindow& window)
    {
        ASSERT_TRUE(window.isReady());
        waitDesktop([&](const auto& d) { return d.activeProcess == window.pid(); },
                    "window never became active");
        now += 3s;
    }

    TempHome home;
    PlayerDetector::Clock::time_point now = PlayerDetector::Clock::now();
    platform::WindowReader reader;
    PlayerDetector detector{PlayerDetector::Deps{reader, home.settings(), std::make_shared<OwnChildren>(),
                                                 [](const QString&) {}, [this] { return now; }, 20ms}};
};

const QStringList kTwoLineBar = {u"--left"_s, u"110"_s, u"--bar"_s, u"80"_s};

} // namespace

TEST_F(PlayerDetectorTest, ReadsTheTwoLineBarOfADarkThemeAndNeverTheDecoys)
{
    // Light text on a dark bar; the one-line bar is read in the X server case below.
    PlayerWindow dark(u"netease-cloud-music"_s, u"800x600"_s, u"two 晴天|周杰伦"_s,
                      kTwoLineBar + QStringList{u"--dark"_s});
    front(dark);
    EXPECT_EQ(recognise(), u"晴天|周杰伦"_s);
}

TEST_F(PlayerDetectorTest, TitlesComeBeforeScreenshotsAndTheLyricWindowIsNeverRead)
{
    // Reads the window's song; `grabs`: whether its bar was captured for it.
    const auto check = [&](const QString& executable, const QString& bar, const QStringList& arguments,
                           const QString& song, bool grabs) {
        PlayerWindow window(executable, u"800x600"_s, bar, arguments);
        front(window);
        const int before = reader.grabCount();
        EXPECT_EQ(recognise(), song) << executable.toStdString();
        EXPECT_EQ(reader.grabCount() > before, grabs) << executable.toStdString();
    };
    // QQ Music's lyric window: large, a song-like line, never read.
    check(u"qqmusic"_s, u"bar Blue Sky - Anna Lee"_s, {u"--left"_s, u"310"_s, u"--title"_s, u"歌词"_s}, {},
          false);
    // NetEase's Windows client, its process named as Wine names it: the title names the song.
    check(u"cloudmusic.exe"_s, u"two 别的歌|别人"_s,
          kTwoLineBar + QStringList{u"--title"_s, u"稻香 - 周杰伦"_s}, u"稻香|周杰伦"_s, false);
    EXPECT_EQ(detector.lastPlayerLabel(), u"窗口识别(网易云音乐)"_s);
    // A hostile title (control characters, 10 000 characters) names nothing: the bar is read.
    check(u"cloudmusic.exe"_s, u"two 别的歌|别人"_s,
          kTwoLineBar + QStringList{u"--title"_s, u"稻香 - 周杰伦\u0007\t"_s + QString(10000, u'x')},
          u"别的歌|别人"_s, true);
    // No window of the three: Spotify's title names the song, unless other players are off.
    const QStringList spotify = {u"--title"_s, u"Adele - Hello"_s};
    check(u"spotify"_s, u"bar x"_s, spotify, u"Hello|Adele"_s, false);
    EXPECT_EQ(detector.lastPlayerLabel(), u"窗口识别(Spotify)"_s);
    home.settings().setOtherPlayers(false);
    check(u"spotify"_s, u"bar x"_s, spotify, {}, false);
}

TEST_F(PlayerDetectorTest, WithNoPlayerInFrontOrOnScreenThePinDecidesAndTheFirstWindowSetsNoPin)
{
    // Both minimised: listed, but neither on screen, and no player is in front.
    PlayerWindow kugou(u"kugou"_s, u"900x700"_s, u"bar Blue Sky - Anna Lee"_s);
    PlayerWindow qq(u"qqmusic"_s, u"800x600"_s, u"bar Blue Sky - Anna Lee"_s, {u"--left"_s, u"310"_s});
    EXPECT_TRUE(kugou.send(u"minimise"_s));
    EXPECT_TRUE(qq.send(u"minimise"_s));
    // The window manager hands the focus on after the windows are gone, not with it.
    waitDesktop(
        [&](const auto& d) {
            const bool shown = std::any_of(d.windows.begin(), d.windows.end(), [&](const auto& w) {
                return (w.processIdentifier == kugou.pid() || w.processIdentifier == qq.pid()) &&
                       std::find(d.onScreenTopFirst.begin(), d.onScreenTopFirst.end(), w.id) !=
                           d.onScreenTopFirst.end();
            });
            return !shown && d.activeProcess != kugou.pid() && d.activeProcess != qq.pid();
        },
        "a player window stayed on screen or active");

    home.settings().setOcrPinnedPlayer(u"QQ音乐"_s);
    // A minimised window has no picture: the passes fail and nothing is read.
    EXPECT_EQ(recognise(), QString());
    EXPECT_EQ(detector.lastPlayerLabel(), u"窗口识别(QQ音乐)"_s)
        << "the pinned player, not the larger window";
    EXPECT_EQ(home.settings().ocrPinnedPlayer(), u"QQ音乐"_s);

    home.settings().removeOcrPinnedPlayer();
    now += 3s;
    EXPECT_EQ(recognise(), QString());
    EXPECT_EQ(detector.lastPlayerLabel(), u"窗口识别(酷狗)"_s) << "the first window: the larger one";
    EXPECT_FALSE(home.settings().ocrPinnedPlayer()) << "the first window sets no pin";
}

// Without a display nothing is read, and the log says so once however often it is asked.
TEST(PlayerDetectorNoDisplay, ReadsNothingAndLogsOnce)
{
    TempHome home;
    QStringList log;
    platform::WindowReader reader([] { return std::make_unique<platform::X11DesktopWindows>(":65000"); },
                                  [] { return std::make_unique<platform::TesseractTextRecognizer>(); });
    PlayerDetector detector(PlayerDetector::Deps{reader, home.settings(), std::make_shared<OwnChildren>(),
                                                 [&](const QString& line) { log << line; },
                                                 [] { return PlayerDetector::Clock::now(); }, 20ms});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(read(detector), QString());
    EXPECT_EQ(log, QStringList{PlayerDetector::noDisplayLogLine()});
    EXPECT_FALSE(reader.allowed());
}

TEST(X11DesktopScale, XftDpiOverNinetySixClampedToOneToThree)
{
    using platform::X11DesktopWindows;
    // Absent, malformed or senseless values: no scaling.
    const std::pair<QByteArray, double> cases[] = {
        {"Xft.dpi:\t192\n", 2.0}, {"Xcursor.size:\t24\nXft.dpi: 144\r\nXft.antialias:\t1", 1.5},
        {"Xft.dpi:\t72", 1.0},    {"Xft.dpi:\t960", 3.0},
        {QByteArray(), 1.0},      {"Xft.dpix:\t192", 1.0},
        {"Xft.dpi:", 1.0},        {"Xft.dpi:\tlarge", 1.0},
        {"Xft.dpi:\t-192", 1.0},  {"Xft.dpi:\tnan", 1.0},
        {"Xft.dpi:\t0", 1.0},     {QByteArray("\0Xft.dpi:\t192", 14), 1.0},
    };
    for (const auto& [resources, scale] : cases)
        EXPECT_EQ(X11DesktopWindows::scaleFromResources(resources), scale) << resources.constData();
}
