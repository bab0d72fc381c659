// The real program finding the song through each form the players take on Linux: NetEase's
// Windows client under Wine (its database in a deepin-wine bottle), NetEase's Linux client
// (its JSON history), QQ Music's Electron app over Chromium's MPRIS name, Kugou's Windows
// client by its window, and another MPRIS player whose adverts are never looked up.
#include "program_e2e.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

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
    void SetUp() override
    {
        startServices(kSeed);
        configure([this](SettingsStore& settings) {
            settings.setPrivacyConsent(true);
            settings.setServerBaseURL(server->baseURL());
            settings.setAccessToken(QStringLiteral("e2e-token"));
        });
    }
    // What the plug-in is told: the song, its library key and where the song came from.
    bool shows(const char* song, const char* key, const char* source) const
    {
        const QStringList lines = state().split(QLatin1Char('\n'));
        return lines.contains(u("meta_song=") + u(song)) && lines.contains(u("meta_key=") + u(key)) &&
               lines.contains(u("meta_source=") + u(source));
    }
    bool anyRequestMentions(const QString& text) const
    {
        for (const QJsonObject& request : server->requests()) {
            if (QString::fromUtf8(QJsonDocument(request).toJson()).contains(text))
                return true;
        }
        return false;
    }
    std::unique_ptr<FakePlayer> mprisPlayer(const char* executable, const char* busSuffix,
                                            const char* identity)
    {
        return std::make_unique<FakePlayer>(
            u(executable),
            QStringList{QStringLiteral("--mpris"), u(busSuffix), QStringLiteral("--identity"), u(identity)},
            bus.address());
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
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows("周杰伦 - 稻香", "D 大调", "网易云"); }, 15000))
        << state().toStdString();
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
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows("陈奕迅 - 十年", "C 大调", "网易云"); }, 15000))
        << state().toStdString();
}

TEST_F(PlayersE2E, QQMusicElectronOverChromiumsMprisName)
{
    // No desktop entry, Identity "Chromium": only the owning process says it is QQ Music.
    const auto electron = mprisPlayer("qqmusic", "chromium.instance4321", "Chromium");
    ASSERT_TRUE(electron->isReady());
    ASSERT_TRUE(electron->script(
        u("chromium.instance4321"), u("SetMetadata"),
        {QVariantMap{{u("xesam:title"), u("七里香")}, {u("xesam:artist"), QStringList{u("周杰伦")}}}}));
    ASSERT_TRUE(electron->script(u("chromium.instance4321"), u("SetStatus"), {u("Playing")}));
    startProgram();
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows("周杰伦 - 七里香", "G 大调", "QQ音乐"); }, 15000))
        << state().toStdString();
}

TEST_F(PlayersE2E, AnotherMprisPlayerButNeverItsAdverts)
{
    const auto spotify = mprisPlayer("electron", "spotify", "Spotify");
    ASSERT_TRUE(spotify->isReady());
    const auto play = [&](const char* trackId, const char* title, const char* artist) {
        return spotify->script(u("spotify"), u("SetMetadata"),
                               {QVariantMap{{u("mpris:trackid"), u(trackId)},
                                            {u("xesam:title"), u(title)},
                                            {u("xesam:artist"), QStringList{u(artist)}}}});
    };
    ASSERT_TRUE(play("/com/spotify/ad/42", "BuyNowAdvert", "Shop"));
    ASSERT_TRUE(spotify->script(u("spotify"), u("SetStatus"), {u("Playing")}));
    startProgram();
    // The program has polled the advert for a while before the song comes.
    ASSERT_TRUE(server->waitForRequests(1, std::chrono::seconds(10)));
    QTest::qWait(2000);
    ASSERT_TRUE(play("/com/spotify/track/1", "Hello", "Adele"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows("Adele - Hello", "F 大调", "Spotify"); }, 15000))
        << state().toStdString();
    EXPECT_FALSE(anyRequestMentions(u("BuyNowAdvert")));
}

TEST_F(PlayersE2E, KugouUnderWineByItsWindow)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs tests/run-with-services";
    PlayerWindow kugou(u("KuGou.exe"), u("800x600"), u("bar 晴天 - 周杰伦"), {u("--title"), u("酷狗音乐")});
    ASSERT_TRUE(kugou.isReady());
    startProgram(Display::screen);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows("周杰伦 - 晴天", "B 大调", "窗口识别"); }, 30000))
        << state().toStdString();
}
