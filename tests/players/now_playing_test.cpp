#include "player_fixtures.h"
#include "players/mpris_provider.h"
#include "players/now_playing.h"
#include "players/now_playing_artwork_reader.h"
#include "support/temp_home.h"

#include <QBuffer>
#include <QDBusObjectPath>
#include <QTest>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
namespace keys = now_playing::keys;

namespace {

// A provider that answers a fixed map and counts how often it was asked.
class FixedProvider : public NowPlayingProvider {
public:
    explicit FixedProvider(std::optional<QVariantMap> answer) : m_answer(std::move(answer)) {}
    std::optional<QVariantMap> adapterInfo() override
    {
        ++calls;
        return m_answer;
    }
    std::atomic<int> calls = 0;

private:
    std::optional<QVariantMap> m_answer;
};

QByteArray pngBytes()
{
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Asks until the predicate holds or five seconds pass; the cache refreshes in the background.
NowPlaying::Info waitFor(NowPlaying& nowPlaying, const std::function<bool(const NowPlaying::Info&)>& done)
{
    NowPlaying::Info info;
    for (int i = 0; i < 250; ++i) {
        info = nowPlaying.info();
        if (done(info))
            break;
        QThread::msleep(20);
    }
    return info;
}

const now_playing::ApplicationLookup kNoApps = [](qint64) { return std::nullopt; };

} // namespace

TEST(NowPlayingParse, AdapterAnswerBecomesInfo)
{
    const QVariantMap qq = {{keys::playing, true},
                            {keys::bundleIdentifier, QStringLiteral("com.tencent.QQMusicMac")},
                            {keys::title, QStringLiteral("  Sunny Day \n")},
                            {keys::artist, QStringLiteral("Jay")},
                            {keys::contentItemIdentifier, QStringLiteral("item-1")},
                            {keys::artworkData, QString::fromLatin1(pngBytes().toBase64())}};
    const NowPlayingInfo info = now_playing::parseAdapterInfo(qq, kNoApps);
    EXPECT_EQ(info.source, PlayerSource::qqmusic);
    EXPECT_TRUE(info.isPlaying);
    ASSERT_TRUE(info.song);
    EXPECT_EQ(info.song->title, QStringLiteral("Sunny Day"));
    EXPECT_EQ(info.identity, QStringLiteral("com.tencent.QQMusicMac|Sunny Day|Jay|item-1"));
    ASSERT_TRUE(info.artwork);
    EXPECT_EQ(info.artwork->size(), QSize(4, 3));

    // A clock read-out is no song, but still an identity; a broken cover is no cover.
    const QVariantMap clock = {{keys::playing, QStringLiteral("yes")},
                               {keys::title, QStringLiteral("3:45")},
                               {keys::artist, QStringLiteral("B")},
                               {keys::artworkData, QStringLiteral("!!not base64!!")}};
    const NowPlayingInfo odd = now_playing::parseAdapterInfo(clock, kNoApps);
    EXPECT_FALSE(odd.song);
    EXPECT_FALSE(odd.isPlaying);
    EXPECT_FALSE(odd.source);
    EXPECT_FALSE(odd.artwork);
    EXPECT_EQ(odd.identity, QStringLiteral("|3:45|B|"));

    const QVariantMap huge = {{keys::title, QString(10000, QLatin1Char('t'))},
                              {keys::artist, QStringLiteral("Jay")}};
    EXPECT_FALSE(now_playing::parseAdapterInfo(huge, kNoApps).song);

    // An advert carries no song; the player's name becomes one short line.
    const QVariantMap advert = {
        {keys::playing, true},
        {keys::title, QStringLiteral("Buy Now")},
        {keys::artist, QStringLiteral("Shop")},
        {keys::uniqueIdentifier, QStringLiteral("/com/spotify/ad/12")},
        {keys::playerIdentity, QStringLiteral("Spot\nify\u0007") + QString(100, u'x')}};
    const NowPlayingInfo ad = now_playing::parseAdapterInfo(advert, kNoApps);
    EXPECT_FALSE(ad.song);
    EXPECT_TRUE(ad.isPlaying);
    EXPECT_TRUE(ad.playerName.startsWith(QStringLiteral("Spot ify xxx")));
    EXPECT_EQ(ad.playerName.size(), 64);
    QVariantMap older = advert;
    older.insert(keys::uniqueIdentifier, QStringLiteral("spotify:ad:0000000012c603a6"));
    EXPECT_FALSE(now_playing::parseAdapterInfo(older, kNoApps).song);
    older.insert(keys::uniqueIdentifier, QStringLiteral("spotify:track:4uLU6hMCjMI75M1A2tKUQC"));
    EXPECT_TRUE(now_playing::parseAdapterInfo(older, kNoApps).song);
}

TEST(NowPlayingSettle, AnItemCountsOnceItHeldStill)
{
    using Clock = SettleGate::Clock;
    const Clock::time_point t0{};
    SettleGate gate;
    struct Step {
        const char* item;
        int at_ms;
        bool admitted;
    };
    // A track change in half-filled updates: the new title beside the old artist first.
    const std::vector<Step> steps = {
        {"a|Old|X", 0, false},   {"a|Old|X", 299, false}, {"a|Old|X", 300, true},
        {"a|Old|X", 301, true},  {"a|New|X", 400, false}, {"a|New|Y", 500, false},
        {"a|New|Y", 700, false}, {"a|New|Y", 800, true},  {"a|Old|X", 900, false},
    };
    for (const Step& step : steps)
        EXPECT_EQ(gate.admit(QString::fromUtf8(step.item), t0 + std::chrono::milliseconds(step.at_ms)),
                  step.admitted)
            << step.item << " at " << step.at_ms;
}

TEST(NowPlayingParse, SourceFromTheProcessNameOrThePlayersIdentity)
{
    // Without a bundle identifier the process name decides.
    FakePlayer qq(QStringLiteral("qqmusic"));
    ASSERT_TRUE(qq.isReady());
    const platform::ProcRunningApplications apps;
    const auto lookup = [&apps](qint64 pid) { return apps.application(pid); };
    const QVariantMap byPid = {{keys::processIdentifier, qq.pid()}, {keys::title, QStringLiteral("T")}};
    EXPECT_EQ(now_playing::parseAdapterInfo(byPid, lookup).source, PlayerSource::qqmusic);
    // QQ Music's Electron app speaks through Chromium: the owner's process decides before the
    // generic bus name and Identity.
    const QVariantMap electron = {{keys::bundleIdentifier, QStringLiteral("chromium.instance77")},
                                  {keys::processIdentifier, qq.pid()},
                                  {keys::playerIdentity, QStringLiteral("Chromium")}};
    const NowPlayingInfo viaChromium = now_playing::parseAdapterInfo(electron, lookup);
    EXPECT_EQ(viaChromium.source, PlayerSource::qqmusic);
    EXPECT_EQ(viaChromium.playerName, QStringLiteral("Chromium"));

    const QVariantMap byIdentity = {{keys::bundleIdentifier, QStringLiteral("chromium.instance4242")},
                                    {keys::processIdentifier, 0},
                                    {keys::playerIdentity, QStringLiteral("网易云音乐")}};
    EXPECT_EQ(now_playing::parseAdapterInfo(byIdentity, lookup).source, PlayerSource::netease);
}

TEST(NowPlayingCache, AnswersAtOnceAndRefreshesOnceInTheBackground)
{
    const QVariantMap answer = {{keys::playing, true},
                                {keys::bundleIdentifier, QStringLiteral("kugou")},
                                {keys::title, QStringLiteral("Song")},
                                {keys::artist, QStringLiteral("Singer")}};
    auto provider = std::make_shared<FixedProvider>(answer);
    NowPlaying nowPlaying(provider, nullptr);
    EXPECT_EQ(nowPlaying.diag(), StatusText::kUnchecked);
    const NowPlaying::Info first = nowPlaying.info();
    EXPECT_FALSE(first.song);
    EXPECT_FALSE(first.identity);
    nowPlaying.info();
    const NowPlaying::Info later =
        waitFor(nowPlaying, [](const auto& info) { return info.song.has_value(); });
    EXPECT_EQ(later.source, PlayerSource::kugou);
    EXPECT_EQ(nowPlaying.diag(), NowPlaying::kBridged);
    // Fresh for two seconds: no further refresh. The one refresh read twice to see the song hold still.
    for (int i = 0; i < 20; ++i)
        nowPlaying.info();
    EXPECT_EQ(provider->calls, 2);

    NowPlayingArtworkReader reader(nowPlaying);
    EXPECT_EQ(reader.read().song->title, QStringLiteral("Song"));

    NowPlaying silent(std::make_shared<FixedProvider>(std::nullopt), nullptr, 0ms);
    silent.info();
    waitFor(silent, [&](const auto&) { return silent.diag() != StatusText::kUnchecked; });
    EXPECT_EQ(silent.diag(), NowPlaying::kNoData);
    EXPECT_FALSE(silent.info().identity);
}

class MprisTest : public ::testing::Test {
protected:
    TempHome home;
    PrivateBus bus;
};

TEST_F(MprisTest, PrefersThePlayingPlayerAndAnswersItsMetadata)
{
    ASSERT_FALSE(bus.address().isEmpty());
    FakePlayer idle(QStringLiteral("kugou"), {QStringLiteral("--mpris"), QStringLiteral("aaa.kugou")},
                    bus.address());
    FakePlayer qq(QStringLiteral("qqmusic"),
                  {QStringLiteral("--mpris"), QStringLiteral("qqmusic"), QStringLiteral("--desktop-entry"),
                   QStringLiteral("qqmusic"), QStringLiteral("--identity"), QStringLiteral("QQ音乐")},
                  bus.address());
    // Plays, but has no title yet: the titled player comes first.
    FakePlayer untitled(QStringLiteral("electron"),
                        {QStringLiteral("--mpris"), QStringLiteral("aab.untitled")}, bus.address());
    ASSERT_TRUE(idle.isReady() && qq.isReady() && untitled.isReady());
    ASSERT_TRUE(untitled.script(QStringLiteral("aab.untitled"), QStringLiteral("SetStatus"),
                                {QStringLiteral("Playing")}));
    const QString cover = home.path() + QStringLiteral("/cover.png");
    ASSERT_TRUE(writeFile(cover, pngBytes()));
    ASSERT_TRUE(idle.script(QStringLiteral("aaa.kugou"), QStringLiteral("SetMetadata"),
                            {QVariantMap{{QStringLiteral("xesam:title"), QStringLiteral("Idle")}}}));
    ASSERT_TRUE(
        qq.script(QStringLiteral("qqmusic"), QStringLiteral("SetMetadata"),
                  {QVariantMap{{QStringLiteral("xesam:title"), QStringLiteral("Sunny Day")},
                               {QStringLiteral("xesam:artist"),
                                QStringList{QStringLiteral("Jay"), QStringLiteral("Lara")}},
                               {QStringLiteral("mpris:trackid"), QStringLiteral("/track/7")},
                               {QStringLiteral("mpris:length"), qlonglong(0)},
                               {QStringLiteral("mpris:artUrl"), QUrl::fromLocalFile(cover).toString()}}}));
    ASSERT_TRUE(
        qq.script(QStringLiteral("qqmusic"), QStringLiteral("SetStatus"), {QStringLiteral("Playing")}));

    MprisProvider provider(bus.address());
    const auto answer = provider.adapterInfo();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->value(keys::bundleIdentifier).toString(), QStringLiteral("qqmusic"));
    EXPECT_EQ(answer->value(keys::processIdentifier).toLongLong(), qq.pid());
    EXPECT_EQ(answer->value(keys::uniqueIdentifier).toString(), QStringLiteral("/track/7"));

    NowPlaying nowPlaying(std::make_shared<MprisProvider>(bus.address()),
                          std::make_shared<platform::ProcRunningApplications>(), 0ms);
    const auto info = waitFor(nowPlaying, [](const auto& i) { return i.song.has_value(); });
    ASSERT_TRUE(info.song);
    EXPECT_EQ(info.song->artist, QStringLiteral("Jay/Lara"));
    EXPECT_EQ(info.source, PlayerSource::qqmusic);
    EXPECT_TRUE(info.isPlaying);
    EXPECT_EQ(info.identity, QStringLiteral("qqmusic|Sunny Day|Jay/Lara|/track/7"));
    ASSERT_TRUE(info.artwork);
    EXPECT_EQ(nowPlaying.diag(), NowPlaying::kBridged);
}

TEST_F(MprisTest, AnAnnouncedChangeRefreshesTheCacheAtOnce)
{
    FakePlayer qq(QStringLiteral("qqmusic"), {QStringLiteral("--mpris"), QStringLiteral("qqmusic")},
                  bus.address());
    ASSERT_TRUE(qq.isReady());
    const auto play = [&](const char* title) {
        return qq.script(QStringLiteral("qqmusic"), QStringLiteral("SetMetadata"),
                         {QVariantMap{{QStringLiteral("xesam:title"), QString::fromUtf8(title)},
                                      {QStringLiteral("xesam:artist"), QStringList{QStringLiteral("Jay")}}}});
    };
    ASSERT_TRUE(play("Sunny Day"));
    ASSERT_TRUE(
        qq.script(QStringLiteral("qqmusic"), QStringLiteral("SetStatus"), {QStringLiteral("Playing")}));

    // The cache would keep its answer for an hour; only the player's announcement renews it.
    NowPlaying nowPlaying(std::make_shared<MprisProvider>(bus.address()), nullptr, std::chrono::hours(1));
    nowPlaying.info();
    const auto title = [&] {
        const auto info = nowPlaying.info();
        return info.song ? info.song->title : QString();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return title() == QStringLiteral("Sunny Day"); }, 5000));
    ASSERT_TRUE(play("Rainy Day"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return title() == QStringLiteral("Rainy Day"); }, 5000));
}

TEST_F(MprisTest, QuirkyPlayersStillAnswer)
{
    // An Electron player under a generic bus name, with an empty artist and no status.
    FakePlayer electron(QStringLiteral("electron"),
                        {QStringLiteral("--mpris"), QStringLiteral("chromium.instance4242"),
                         QStringLiteral("--identity"), QStringLiteral("网易云音乐")},
                        bus.address());
    ASSERT_TRUE(electron.isReady());
    ASSERT_TRUE(
        electron.script(QStringLiteral("chromium.instance4242"), QStringLiteral("SetMetadata"),
                        {QVariantMap{{QStringLiteral("xesam:title"), QStringLiteral("Song")},
                                     {QStringLiteral("xesam:artist"), QStringList{QString()}},
                                     {QStringLiteral("mpris:artUrl"), QStringLiteral("file:///dev/zero")}}}));
    ASSERT_TRUE(electron.script(QStringLiteral("chromium.instance4242"), QStringLiteral("SetStatus"),
                                {QStringLiteral("Playing")}));
    NowPlaying nowPlaying(std::make_shared<MprisProvider>(bus.address()),
                          std::make_shared<platform::ProcRunningApplications>(), 0ms);
    const auto info = waitFor(nowPlaying, [](const auto& i) { return i.identity.has_value(); });
    EXPECT_EQ(info.source, PlayerSource::netease);
    EXPECT_FALSE(info.song);
    EXPECT_FALSE(info.artwork);
    EXPECT_EQ(info.identity, QStringLiteral("chromium.instance4242|Song||"));

    // The artists as one comma-joined text instead of a list.
    ASSERT_TRUE(
        electron.script(QStringLiteral("chromium.instance4242"), QStringLiteral("SetMetadata"),
                        {QVariantMap{{QStringLiteral("xesam:title"), QStringLiteral("Song")},
                                     {QStringLiteral("xesam:artist"), QStringLiteral("Jay, Lara")}}}));
    const auto joined = waitFor(nowPlaying, [](const auto& i) { return i.song.has_value(); });
    EXPECT_EQ(joined.song->artist, QStringLiteral("Jay, Lara"));
}

TEST_F(MprisTest, HungPlayerOrEmptyBusGivesTheEmptyAnswer)
{
    MprisProvider quick(bus.address(), 1000ms);
    EXPECT_FALSE(quick.adapterInfo());

    FakePlayer hung(QStringLiteral("qqmusic"), {QStringLiteral("--mpris"), QStringLiteral("qqmusic")},
                    bus.address());
    ASSERT_TRUE(hung.isReady());
    ASSERT_TRUE(hung.script(QStringLiteral("qqmusic"), QStringLiteral("Freeze"), {8000}));
    EXPECT_FALSE(quick.adapterInfo());

    NowPlaying nowPlaying(std::make_shared<MprisProvider>(bus.address(), 1000ms), nullptr, 0ms);
    nowPlaying.info();
    // The caller never waits for the hung round trip.
    EXPECT_EQ(nowPlaying.diag(), StatusText::kUnchecked);
    waitFor(nowPlaying, [&](const auto&) { return nowPlaying.diag() != StatusText::kUnchecked; });
    EXPECT_EQ(nowPlaying.diag(), NowPlaying::kNoData);
}
