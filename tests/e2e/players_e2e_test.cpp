// The real program finding the song through each kind of source: a player's own data
// (NetEase's Windows client under Wine, its database in a deepin-wine bottle), MPRIS (QQ
// Music's Electron app over Chromium's name) and a window (Kugou under Wine). The other forms
// of each are the players tests'.
#include "program_e2e.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

namespace {

constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "稻香", "key": "D 大调"},
  {"artist": "周杰伦", "title": "晴天", "key": "B 大调"},
  {"artist": "周杰伦", "title": "七里香", "key": "G 大调"}
])";

class PlayersE2E : public ProgramE2E {
protected:
    void SetUp() override { startServices(kSeed); }
    // Until the plug-in is told the song, its library key and where the song came from.
    bool shows(const char* song, const char* key, const char* source)
    {
        return QTest::qWaitFor(
            [&] {
                const QStringList lines = state().split(QLatin1Char('\n'));
                return lines.contains(u("meta_song=") + u(song)) && lines.contains(u("meta_key=") + u(key)) &&
                       lines.contains(u("meta_source=") + u(source));
            },
            30000);
    }
};

} // namespace

TEST_F(PlayersE2E, NeteaseUnderWineByItsBottlesDatabase)
{
    const QString library =
        home.path() + QStringLiteral("/.deepinwine/Spark-CloudMusic/drive_c/users/me/AppData/"
                                     "Local/NetEase/CloudMusic/Library/webdb.dat");
    QDir().mkpath(QFileInfo(library).absolutePath());
    ASSERT_TRUE(runSql(library, {u("CREATE TABLE historyTracks (jsonStr TEXT, id TEXT, playtime INTEGER)"),
                                 u("INSERT INTO historyTracks VALUES ('{\"name\":\"稻香\",\"artists\":"
                                   "[{\"name\":\"周杰伦\"}]}', '1', 1700000000000)")}));
    FakeWineProcess cloudmusic(u("C:\\Program Files\\NetEase\\CloudMusic\\cloudmusic.exe"),
                               u("cloudmusic.exe"));
    ASSERT_TRUE(cloudmusic.isReady());
    startProgram();
    EXPECT_TRUE(shows("周杰伦 - 稻香", "D 大调", "网易云")) << state().toStdString();
}

TEST_F(PlayersE2E, QQMusicElectronOverChromiumsMprisName)
{
    // No desktop entry, Identity "Chromium": only the owning process says it is QQ Music.
    FakePlayer electron(u("qqmusic"),
                        {u("--mpris"), u("chromium.instance4321"), u("--identity"), u("Chromium")},
                        bus.address());
    ASSERT_TRUE(electron.isReady());
    ASSERT_TRUE(announce(u("七里香"), u("周杰伦"), &electron, u("chromium.instance4321")));
    startProgram();
    EXPECT_TRUE(shows("周杰伦 - 七里香", "G 大调", "QQ音乐")) << state().toStdString();
}

TEST_F(PlayersE2E, KugouUnderWineByItsWindow)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs tests/run-with-services";
    PlayerWindow kugou(u("KuGou.exe"), u("800x600"), u("bar 晴天 - 周杰伦"), {u("--title"), u("酷狗音乐")});
    ASSERT_TRUE(kugou.isReady());
    startProgram(Display::screen);
    EXPECT_TRUE(shows("周杰伦 - 晴天", "B 大调", "窗口识别")) << state().toStdString();
}
