#include "player_fixtures.h"
#include "players/mpris_provider.h"
#include "players/now_playing.h"
#include "players/now_playing_artwork_reader.h"

#include <QBuffer>
#include <QTest>
#include <QUrl>
#include <atomic>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
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

// Asks until the predicate holds; the cache refreshes in the background.
NowPlaying::Info waitFor(NowPlaying& nowPlaying, const std::function<bool(const NowPlaying::Info&)>& done)
{
    NowPlaying::Info info;
    (void)QTest::qWaitFor([&] { return done(info = nowPlaying.info()); }, 5000);
    return info;
}

bool hasSong(const NowPlaying::Info& info)
{
    return info.song.has_value();
}

// "source;playing;title - artist;identity;cover WxH": one comparison shows an answer.
QString infoText(const NowPlayingInfo& i)
{
    return QStringList{
        i.source ? player_source::rawValue(*i.source) : QString(), i.isPlaying ? u"playing"_s : QString(),
        i.song ? i.song->title + u" - "_s + i.song->artist : QString(), i.identity.value_or(u"-"_s),
        i.artwork ? u"%1x%2"_s.arg(i.artwork->width()).arg(i.artwork->height()) : QString()}
        .join(u';');
}

NowPlayingInfo parse(const QVariantMap& answer)
{
    return now_playing::parseAdapterInfo(answer, [](qint64) { return std::nullopt; });
}

} // namespace

TEST(NowPlayingParse, AdapterAnswerBecomesInfo)
{
    const NowPlayingInfo info = parse({{keys::playing, true},
                                       {keys::bundleIdentifier, u"com.tencent.QQMusicMac"_s},
                                       {keys::title, u"  Sunny Day \n"_s},
                                       {keys::artist, u"Jay"_s},
                                       {keys::contentItemIdentifier, u"item-1"_s},
                                       {keys::artworkData, QString::fromLatin1(pngBytes().toBase64())}});
    EXPECT_EQ(infoText(info),
              u"QQ音乐;playing;Sunny Day - Jay;com.tencent.QQMusicMac|Sunny Day|Jay|item-1;4x3"_s);

    // A clock read-out is no song, but still an identity; a broken cover is no cover.
    EXPECT_EQ(infoText(parse({{keys::playing, u"yes"_s},
                              {keys::title, u"3:45"_s},
                              {keys::artist, u"B"_s},
                              {keys::artworkData, u"!!not base64!!"_s}})),
              u";;;|3:45|B|;"_s);
    EXPECT_FALSE(parse({{keys::title, QString(10000, u't')}, {keys::artist, u"Jay"_s}}).song);

    // An advert carries no song; the player's name becomes one short line.
    QVariantMap advert = {{keys::playing, true},
                          {keys::title, u"Buy Now"_s},
                          {keys::artist, u"Shop"_s},
                          {keys::uniqueIdentifier, u"/com/spotify/ad/12"_s},
                          {keys::playerIdentity, u"Spot\nify\u0007"_s + QString(100, u'x')}};
    const NowPlayingInfo ad = parse(advert);
    EXPECT_FALSE(ad.song);
    EXPECT_TRUE(ad.isPlaying);
    EXPECT_TRUE(ad.playerName.startsWith(u"Spot ify xxx"_s));
    EXPECT_EQ(ad.playerName.size(), 64);
    advert.insert(keys::uniqueIdentifier, u"spotify:ad:0000000012c603a6"_s);
    EXPECT_FALSE(parse(advert).song);
    advert.insert(keys::uniqueIdentifier, u"spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s);
    EXPECT_TRUE(parse(advert).song);
}

TEST(NowPlayingSettle, AnItemCountsOnceItHeldStill)
{
    SettleGate gate;
    struct Step {
        const char* item;
        int at_ms;
        bool admitted;
    };
    // A track change in half-filled updates: the new title beside the old artist first.
    const Step steps[] = {
        {"a|Old|X", 0, false},   {"a|Old|X", 299, false}, {"a|Old|X", 300, true},
        {"a|Old|X", 301, true},  {"a|New|X", 400, false}, {"a|New|Y", 500, false},
        {"a|New|Y", 700, false}, {"a|New|Y", 800, true},  {"a|Old|X", 900, false},
    };
    for (const Step& step : steps)
        EXPECT_EQ(gate.admit(QString::fromUtf8(step.item),
                             SettleGate::Clock::time_point{} + std::chrono::milliseconds(step.at_ms)),
                  step.admitted)
            << step.item << " at " << step.at_ms;
}

TEST(NowPlayingCache, AnswersAtOnceAndRefreshesOnceInTheBackground)
{
    auto provider = std::make_shared<FixedProvider>(QVariantMap{{keys::playing, true},
                                                                {keys::bundleIdentifier, u"kugou"_s},
                                                                {keys::title, u"Song"_s},
                                                                {keys::artist, u"Singer"_s}});
    NowPlaying nowPlaying(provider, nullptr);
    EXPECT_EQ(nowPlaying.diag(), StatusText::kUnchecked);
    const NowPlaying::Info first = nowPlaying.info();
    EXPECT_FALSE(first.song || first.identity);
    EXPECT_EQ(waitFor(nowPlaying, hasSong).source, PlayerSource::kugou);
    EXPECT_EQ(nowPlaying.diag(), NowPlaying::kBridged);
    // Fresh for two seconds: no further refresh. The one refresh read twice to see the song hold still.
    for (int i = 0; i < 20; ++i)
        nowPlaying.info();
    EXPECT_EQ(provider->calls, 2);
    EXPECT_EQ(NowPlayingArtworkReader(nowPlaying).read().song->title, u"Song"_s);
}

class MprisTest : public ::testing::Test {
protected:
    NowPlaying bridge(std::chrono::milliseconds maxAge = 0ms)
    {
        return NowPlaying(std::make_shared<MprisProvider>(bus.address(), 1000ms),
                          std::make_shared<platform::ProcRunningApplications>(), maxAge);
    }
    TempHome home;
    PrivateBus bus;
};

TEST_F(MprisTest, PrefersThePlayingPlayerAnswersItsMetadataAndFollowsItsAnnouncements)
{
    FakePlayer idle(u"kugou"_s, {u"--mpris"_s, u"aaa.kugou"_s}, bus.address());
    FakePlayer qq(
        u"qqmusic"_s,
        {u"--mpris"_s, u"qqmusic"_s, u"--desktop-entry"_s, u"qqmusic"_s, u"--identity"_s, u"QQ音乐"_s},
        bus.address());
    // Plays, but has no title yet: the titled player comes first.
    FakePlayer untitled(u"electron"_s, {u"--mpris"_s, u"aab.untitled"_s}, bus.address());
    ASSERT_TRUE(idle.isReady() && qq.isReady() && untitled.isReady());
    ASSERT_TRUE(untitled.script(u"aab.untitled"_s, u"SetStatus"_s, {u"Playing"_s}));
    const QString cover = home.path() + u"/cover.png"_s;
    ASSERT_TRUE(writeFile(cover, pngBytes()));
    ASSERT_TRUE(idle.script(u"aaa.kugou"_s, u"SetMetadata"_s, {QVariantMap{{u"xesam:title"_s, u"Idle"_s}}}));
    ASSERT_TRUE(qq.script(u"qqmusic"_s, u"SetMetadata"_s,
                          {QVariantMap{{u"xesam:title"_s, u"Sunny Day"_s},
                                       {u"xesam:artist"_s, QStringList{u"Jay"_s, u"Lara"_s}},
                                       {u"mpris:trackid"_s, u"/track/7"_s},
                                       {u"mpris:length"_s, qlonglong(0)},
                                       {u"mpris:artUrl"_s, QUrl::fromLocalFile(cover).toString()}}}));
    ASSERT_TRUE(qq.script(u"qqmusic"_s, u"SetStatus"_s, {u"Playing"_s}));

    EXPECT_EQ(MprisProvider(bus.address()).adapterInfo()->value(keys::processIdentifier).toLongLong(),
              qq.pid());
    // The cache would keep its answer for an hour; only the player's announcement renews it.
    NowPlaying nowPlaying = bridge(1h);
    EXPECT_EQ(infoText(waitFor(nowPlaying, hasSong)),
              u"QQ音乐;playing;Sunny Day - Jay/Lara;qqmusic|Sunny Day|Jay/Lara|/track/7;4x3"_s);
    ASSERT_TRUE(qq.play(u"qqmusic"_s, u"Rainy Day"_s));
    EXPECT_EQ(
        songText(waitFor(nowPlaying, [](const auto& i) { return i.song && i.song->title == u"Rainy Day"_s; })
                     .song),
        u"Rainy Day|Jay"_s);
}

TEST_F(MprisTest, QuirkyPlayersStillAnswer)
{
    // An Electron player under a generic bus name, with an empty artist and a cover that is no file.
    const QString name = u"chromium.instance4242"_s;
    FakePlayer electron(u"electron"_s, {u"--mpris"_s, name, u"--identity"_s, u"网易云音乐"_s}, bus.address());
    ASSERT_TRUE(electron.isReady());
    ASSERT_TRUE(electron.script(name, u"SetMetadata"_s,
                                {QVariantMap{{u"xesam:title"_s, u"Song"_s},
                                             {u"xesam:artist"_s, QStringList{QString()}},
                                             {u"mpris:artUrl"_s, u"file:///dev/zero"_s}}}));
    ASSERT_TRUE(electron.script(name, u"SetStatus"_s, {u"Playing"_s}));
    NowPlaying nowPlaying = bridge();
    EXPECT_EQ(infoText(waitFor(nowPlaying, [](const auto& i) { return i.identity.has_value(); })),
              u"网易云;playing;;chromium.instance4242|Song||;"_s);

    // The artists as one comma-joined text instead of a list.
    ASSERT_TRUE(
        electron.script(name, u"SetMetadata"_s,
                        {QVariantMap{{u"xesam:title"_s, u"Song"_s}, {u"xesam:artist"_s, u"Jay, Lara"_s}}}));
    EXPECT_EQ(waitFor(nowPlaying, hasSong).song->artist, u"Jay, Lara"_s);
}

TEST_F(MprisTest, HungPlayerOrEmptyBusGivesTheEmptyAnswer)
{
    MprisProvider quick(bus.address(), 1000ms);
    EXPECT_FALSE(quick.adapterInfo());
    FakePlayer hung(u"qqmusic"_s, {u"--mpris"_s, u"qqmusic"_s}, bus.address());
    ASSERT_TRUE(hung.isReady());
    ASSERT_TRUE(hung.script(u"qqmusic"_s, u"Freeze"_s, {8000}));
    EXPECT_FALSE(quick.adapterInfo());

    NowPlaying nowPlaying = bridge();
    nowPlaying.info();
    // The caller never waits for the hung round trip.
    EXPECT_EQ(nowPlaying.diag(), StatusText::kUnchecked);
    waitFor(nowPlaying, [&](const auto&) { return nowPlaying.diag() != StatusText::kUnchecked; });
    EXPECT_EQ(nowPlaying.diag(), NowPlaying::kNoData);
}
