// The real program finding the song through each form the players take on Linux: NetEase's
// Windows client under Wine (its database in a deepin-wine bottle), NetEase's Linux client
// (its JSON history), QQ Music's Electron app over Chromium's MPRIS name, Kugou's Windows
// client by its window, and another MPRIS player whose adverts are never looked up.
#include "program_e2e.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>

namespace {

constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "稻香", "key": "D 大调"},
  {"artist": "周杰伦", "title": "晴天", "key": "B 大调"},
  {"artist": "陈奕迅", "title": "十年", "key": "C 大调"},
  {"artist": "周杰伦", "title": "七里香", "key": "G 大调"},
  {"artist": "Adele", "title": "Hello", "key": "F 大调"},
  {"artist": "Shop", "title": "BuyNowAdvert", "key": "A 大调"}
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
    // A player on the bus as `executable`, its name ending in `suffix`, playing a track.
    std::unique_ptr<FakePlayer> mprisPlayer(const char* executable, const char* suffix, const char* identity)
    {
        auto p = std::make_unique<FakePlayer>(
            u(executable),
            QStringList{QStringLiteral("--mpris"), u(suffix), QStringLiteral("--identity"), u(identity)},
            bus.address());
        EXPECT_TRUE(p->isReady() && p->script(u(suffix), u("SetStatus"), {u("Playing")}));
        return p;
    }
    bool play(FakePlayer& p, const char* suffix, const char* trackId, const char* title, const char* artist)
    {
        return p.script(u(suffix), u("SetMetadata"),
                        {QVariantMap{{u("mpris:trackid"), u(trackId)},
                                     {u("xesam:title"), u(title)},
                                     {u("xesam:artist"), QStringList{u(artist)}}}});
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

TEST_F(PlayersE2E, NeteaseLinuxClientByItsHistoryFile)
{
    FakePlayer client(u("netease-cloud-music"));
    ASSERT_TRUE(client.isReady());
    QFile history(home.path() + u("/.cache/netease-cloud-music/StorageCache/webdata/file/history"));
    QDir().mkpath(QFileInfo(history).absolutePath());
    ASSERT_TRUE(history.open(QIODevice::WriteOnly));
    history.write(u(R"([{"track":{"name":"十年","id":5,"artists":[{"name":"陈奕迅"}],"album":{"name":"A"}},)"
                    R"("time":1700000000000}])")
                      .toUtf8());
    history.close();
    startProgram();
    EXPECT_TRUE(shows("陈奕迅 - 十年", "C 大调", "网易云")) << state().toStdString();
}

TEST_F(PlayersE2E, QQMusicElectronOverChromiumsMprisName)
{
    // No desktop entry, Identity "Chromium": only the owning process says it is QQ Music.
    const auto electron = mprisPlayer("qqmusic", "chromium.instance4321", "Chromium");
    ASSERT_TRUE(play(*electron, "chromium.instance4321", "/t/1", "七里香", "周杰伦"));
    startProgram();
    EXPECT_TRUE(shows("周杰伦 - 七里香", "G 大调", "QQ音乐")) << state().toStdString();
}

TEST_F(PlayersE2E, AnotherMprisPlayerButNeverItsAdverts)
{
    const auto spotify = mprisPlayer("electron", "spotify", "Spotify");
    ASSERT_TRUE(play(*spotify, "spotify", "/com/spotify/ad/42", "BuyNowAdvert", "Shop"));
    startProgram();
    // The program has polled the advert for a while before the song comes.
    ASSERT_TRUE(server->waitForRequests(1, std::chrono::seconds(10)));
    QTest::qWait(2000);
    ASSERT_TRUE(play(*spotify, "spotify", "/com/spotify/track/1", "Hello", "Adele"));
    EXPECT_TRUE(shows("Adele - Hello", "F 大调", "Spotify")) << state().toStdString();
    for (const QJsonObject& request : server->requests())
        EXPECT_FALSE(QJsonDocument(request).toJson().contains("BuyNowAdvert"));
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
