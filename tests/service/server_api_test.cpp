// The real client against the real key-library server on loopback.
#include "core/build_info.h"
#include "core/settings_store.h"
#include "service/server_api.h"
#include "service/service_transport.h"
#include "support/keylib_server_process.h"
#include "support/run_task.h"
#include "support/temp_home.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Kind = ServiceError::Kind;

namespace {

constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "晴天", "key": "G 大调", "review_status": "verified", "confidence": 0.92},
  {"artist": "A&B 乐队", "title": "Rock & Roll = Life 1+1", "key": "E 小调"}
])";

const Song kSunny{QStringLiteral("晴天"), QStringLiteral("周杰伦")};

QJsonObject bodyOf(const QJsonObject& logged)
{
    return QJsonDocument::fromJson(logged.value(QLatin1String("body")).toString().toUtf8()).object();
}

QJsonObject headersOf(const QJsonObject& logged)
{
    return logged.value(QLatin1String("headers")).toObject();
}

QList<QJsonObject> requestsTo(const KeylibServerProcess& server, const QString& pathSuffix)
{
    QList<QJsonObject> out;
    for (const QJsonObject& r : server.requests()) {
        if (r.value(QLatin1String("path")).toString().endsWith(pathSuffix))
            out.append(r);
    }
    return out;
}

// Lets stray requests (fire-and-forget ones in particular) reach the server.
void settle()
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

class ServerApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qunsetenv("TONIVOX_ACCESS_TOKEN");
        SettingsStore::shared().setPrivacyConsent(true);
        m_seed = KeylibServerProcess::writeTemp(m_files, QStringLiteral("seed.json"), kSeed);
    }
    void TearDown() override
    {
        stopServer();
        qunsetenv("TONIVOX_ACCESS_TOKEN");
    }

    // Starts a seeded server (replacing the previous one) and points "serverBaseURL" at
    // it, with an optional path.
    KeylibServerProcess* startServer(QStringList arguments = {}, const QString& path = {})
    {
        stopServer();
        arguments << QStringLiteral("--seed") << m_seed;
        m_server = std::make_unique<KeylibServerProcess>(arguments);
        EXPECT_TRUE(m_server->started()) << m_server->errorOutput().toStdString();
        SettingsStore::shared().setServerBaseURL(m_server->baseURL() + path);
        return m_server.get();
    }
    void stopServer()
    {
        // Idle keep-alive connections would hold up the server's shutdown.
        service_transport::network().clearConnectionCache();
        m_server.reset();
    }
    QString answerFile(const QByteArray& bytes)
    {
        return KeylibServerProcess::writeTemp(m_files, QStringLiteral("answer.json"), bytes);
    }

    TempHome m_home;
    QTemporaryDir m_files;
    QString m_seed;
    std::unique_ptr<KeylibServerProcess> m_server;
};

TEST_F(ServerApiTest, LookupThroughABaseWithItsOwnPath)
{
    auto server = startServer({}, QStringLiteral("/api/melodrix/"));
    const auto found = runTask(ServerAPI::lookup(kSunny));
    ASSERT_TRUE(found.ok()) << found.error().message.toStdString();
    EXPECT_TRUE(found.value().found);
    EXPECT_EQ(found.value().key, QStringLiteral("G 大调"));
    EXPECT_EQ(found.value().matched_by, QStringLiteral("exact"));
    EXPECT_EQ(found.value().review_status, QStringLiteral("verified"));

    const auto missing = runTask(ServerAPI::lookup(Song{QStringLiteral("无人知晓"), QStringLiteral("某人")}));
    ASSERT_TRUE(missing.ok()) << missing.error().message.toStdString();
    EXPECT_FALSE(missing.value().found);
    EXPECT_FALSE(missing.value().key);

    const auto logged = server->requests();
    ASSERT_EQ(logged.size(), 2);
    EXPECT_EQ(logged[0].value(QLatin1String("method")).toString(), QStringLiteral("GET"));
    EXPECT_EQ(logged[0].value(QLatin1String("path")).toString(),
              QStringLiteral("/api/melodrix/v1/key/lookup"));
    const QJsonObject headers = headersOf(logged[0]);
    EXPECT_EQ(headers.value(QLatin1String("X-App-Version")).toString(), appShortVersion());
    EXPECT_FALSE(headers.contains(QLatin1String("Authorization")));
    EXPECT_FALSE(headers.contains(QLatin1String("Content-Type")));
}

TEST_F(ServerApiTest, LookupQueryItemsArePercentEncoded)
{
    auto server = startServer();
    const Song tricky{QStringLiteral("Rock & Roll = Life 1+1"), QStringLiteral("A&B 乐队")};
    const auto found = runTask(ServerAPI::lookup(tricky));
    ASSERT_TRUE(found.ok()) << found.error().message.toStdString();
    EXPECT_TRUE(found.value().found) << "the server decoded another title than the one sent";
    EXPECT_EQ(found.value().key, QStringLiteral("E 小调"));

    const auto logged = server->requests();
    ASSERT_EQ(logged.size(), 1);
    const QString raw = logged[0].value(QLatin1String("raw_query")).toString();
    EXPECT_EQ(raw, QStringLiteral(
                       "artist=A%26B%20%E4%B9%90%E9%98%9F&title=Rock%20%26%20Roll%20%3D%20Life%201%2B1"));
    const QJsonObject query = logged[0].value(QLatin1String("query")).toObject();
    EXPECT_EQ(query.value(QLatin1String("title")).toString(), tricky.title);
    EXPECT_EQ(query.value(QLatin1String("artist")).toString(), tricky.artist);
}

TEST_F(ServerApiTest, StatusesMapToTheServiceErrors)
{
    {
        startServer({QStringLiteral("--min-version"), QStringLiteral("99.0"),
                     QStringLiteral("--latest-version"), QStringLiteral("99.1"),
                     QStringLiteral("--latest-url"), QStringLiteral("https://example.org/dl")});
        const auto refused = runTask(ServerAPI::lookup(kSunny));
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().is(ServerAPI::Error::upgradeRequired));
        // Feedback knows only success and badResponse.
        const auto feedback = runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, std::nullopt,
                                                          QStringLiteral("button"), std::nullopt));
        ASSERT_FALSE(feedback.ok());
        EXPECT_TRUE(feedback.error().is(ServerAPI::Error::badResponse));
        // The version check still tells the user what to upgrade to.
        const auto version = runTask(ServerAPI::appVersion());
        ASSERT_TRUE(version.ok()) << version.error().message.toStdString();
        EXPECT_EQ(version.value().version, QStringLiteral("99.1"));
        EXPECT_EQ(version.value().min_version, QStringLiteral("99.0"));
        EXPECT_EQ(version.value().url, QStringLiteral("https://example.org/dl"));
    }
    for (const char* status : {"500", "404", "302"}) {
        startServer({QStringLiteral("--fail"), QString::fromLatin1(status)});
        const auto lookup = runTask(ServerAPI::lookup(kSunny));
        ASSERT_FALSE(lookup.ok()) << status;
        EXPECT_TRUE(lookup.error().is(ServerAPI::Error::badResponse)) << status;
        const auto version = runTask(ServerAPI::appVersion());
        ASSERT_FALSE(version.ok()) << status;
        EXPECT_TRUE(version.error().is(ServerAPI::Error::badResponse)) << status;
        const auto report = runTask(ServerAPI::postKeyReport(QJsonObject{{QStringLiteral("artist"), "a"}}));
        ASSERT_FALSE(report.ok()) << status;
        EXPECT_TRUE(report.error().is(ServerAPI::Error::badResponse)) << status;
    }
}

TEST_F(ServerApiTest, AnswersThatAreNotTheRecordAreDecodingErrors)
{
    for (const QByteArray& body :
         {QByteArray("<html><body>Bad Gateway</body></html>"), QByteArray(R"({"found": "yes", "key": 5})"),
          QByteArray("[true]"), QByteArray()}) {
        startServer({QStringLiteral("--answer-body"), answerFile(body)});
        const auto lookup = runTask(ServerAPI::lookup(kSunny));
        ASSERT_FALSE(lookup.ok()) << body.toStdString();
        EXPECT_EQ(lookup.error().kind, Kind::decoding) << body.toStdString();
        const auto version = runTask(ServerAPI::appVersion());
        ASSERT_FALSE(version.ok()) << body.toStdString();
        EXPECT_EQ(version.error().kind, Kind::decoding) << body.toStdString();
        // Feedback does not read the body: a 200 is a success whatever it carries.
        const auto feedback = runTask(
            ServerAPI::feedback(kSunny.artist, kSunny.title, std::nullopt, std::nullopt, std::nullopt));
        EXPECT_TRUE(feedback.ok()) << body.toStdString();
    }
}

TEST_F(ServerApiTest, AnEnormousAnswerIsRefusedNotBuffered)
{
    // Valid JSON of the right shape, padded to 6 MB: decoding it would "succeed".
    const QByteArray huge =
        R"({"found": true, "key": "C 大调", "padding": ")" + QByteArray(6 * 1024 * 1024, 'x') + "\"}";
    startServer({QStringLiteral("--answer-body"), answerFile(huge)});
    const auto lookup = runTask(ServerAPI::lookup(kSunny));
    ASSERT_FALSE(lookup.ok());
    EXPECT_TRUE(lookup.error().is(ServerAPI::Error::badResponse)) << lookup.error().message.toStdString();
    EXPECT_TRUE(lookup.error().message.contains(QLatin1String("larger than")))
        << lookup.error().message.toStdString();
}

TEST_F(ServerApiTest, BrokenConnectionsAreTransportErrors)
{
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        SettingsStore::shared().setServerBaseURL(QStringLiteral("http://127.0.0.1:%1").arg(port));
        const auto refused = runTask(ServerAPI::lookup(kSunny));
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().kind, Kind::transport) << refused.error().message.toStdString();
    }
    {
        startServer({QStringLiteral("--cut-body")});
        const auto cut = runTask(ServerAPI::lookup(kSunny));
        ASSERT_FALSE(cut.ok());
        EXPECT_EQ(cut.error().kind, Kind::transport) << cut.error().message.toStdString();
        const auto feedback = runTask(
            ServerAPI::feedback(kSunny.artist, kSunny.title, std::nullopt, std::nullopt, std::nullopt));
        EXPECT_FALSE(feedback.ok());
    }
}

TEST_F(ServerApiTest, AHangingServerTimesOutOrIsCancelledWhileTheLoopRuns)
{
    startServer({QStringLiteral("--delay-ms"), QStringLiteral("30000")});
    int ticks = 0;
    QTimer ui;
    ui.setInterval(10);
    QObject::connect(&ui, &QTimer::timeout, [&ticks] { ++ticks; });
    ui.start();

    const auto lookup = runTask(ServerAPI::lookup(kSunny, {}, 800ms));
    ASSERT_FALSE(lookup.ok());
    EXPECT_EQ(lookup.error().kind, Kind::timedOut) << lookup.error().message.toStdString();
    // A blocked main thread would have delivered at most one tick.
    EXPECT_GE(ticks, 2);

    // A stop request aborts a pending request at once; one that came first sends nothing.
    std::stop_source stop;
    QTimer::singleShot(0, [&stop] { stop.request_stop(); });
    const auto cancelled = runTask(ServerAPI::lookup(kSunny, stop.get_token()));
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error().kind, Kind::cancelled);
    const auto notSent = runTask(ServerAPI::postKeyReport(QJsonObject{}, stop.get_token()));
    ASSERT_FALSE(notSent.ok());
    EXPECT_EQ(notSent.error().kind, Kind::cancelled);
}

TEST_F(ServerApiTest, WithoutConsentOnlyTheVersionCheckIsSent)
{
    auto server = startServer({QStringLiteral("--latest-version"), QStringLiteral("0.2.0"),
                               QStringLiteral("--latest-url"), QStringLiteral("https://example.org/dl")});
    qputenv("TONIVOX_ACCESS_TOKEN", "consent-test-token");
    SettingsStore::shared().setPrivacyConsent(false);

    const auto lookup = runTask(ServerAPI::lookup(kSunny));
    ASSERT_FALSE(lookup.ok());
    EXPECT_EQ(lookup.error().kind, Kind::consentMissing);
    const auto feedback = runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, QStringLiteral("G 大调"),
                                                      QStringLiteral("manual"), std::nullopt));
    ASSERT_FALSE(feedback.ok());
    EXPECT_EQ(feedback.error().kind, Kind::consentMissing);
    const auto report = runTask(ServerAPI::postKeyReport(QJsonObject{{QStringLiteral("artist"), "a"}}));
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error().kind, Kind::consentMissing);
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 120.0, QStringLiteral("player"), QString());

    const auto version = runTask(ServerAPI::appVersion());
    ASSERT_TRUE(version.ok()) << version.error().message.toStdString();
    EXPECT_EQ(version.value().version, QStringLiteral("0.2.0"));
    settle();
    const auto logged = server->requests();
    ASSERT_EQ(logged.size(), 1);
    EXPECT_EQ(logged[0].value(QLatin1String("path")).toString(), QStringLiteral("/v1/app/version"));
}

TEST_F(ServerApiTest, TheTokenTravelsOnlyAsABearerHeader)
{
    const QByteArray token = "tok-7f3a9c-SECRET";
    qputenv("TONIVOX_ACCESS_TOKEN", token);
    auto server = startServer({QStringLiteral("--token"), QString::fromLatin1(token),
                               QStringLiteral("--latest-version"), QStringLiteral("0.2.0"),
                               QStringLiteral("--latest-url"), QStringLiteral("u")});

    EXPECT_TRUE(runTask(ServerAPI::lookup(kSunny)).ok());
    EXPECT_TRUE(runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, std::nullopt, std::nullopt,
                                            QStringLiteral("G 大调")))
                    .ok());
    EXPECT_TRUE(
        runTask(ServerAPI::postKeyReport(QJsonObject{{QStringLiteral("artist"), kSunny.artist},
                                                     {QStringLiteral("title"), kSunny.title},
                                                     {QStringLiteral("key"), QStringLiteral("G 大调")}}))
            .ok());
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 61.0, QStringLiteral("player"), QString());
    EXPECT_TRUE(runTask(ServerAPI::appVersion()).ok());
    ASSERT_TRUE(server->waitForRequests(5));

    for (const QJsonObject& r : server->requests()) {
        const QString path = r.value(QLatin1String("path")).toString();
        const QByteArray line = QJsonDocument(r).toJson(QJsonDocument::Compact);
        EXPECT_FALSE(line.contains(token)) << "the token leaked outside its header: " << line.toStdString();
        if (path.endsWith(QLatin1String("/v1/app/version"))) {
            EXPECT_EQ(r.value(QLatin1String("auth")).toString(), QStringLiteral("none"));
            EXPECT_FALSE(headersOf(r).contains(QLatin1String("Authorization")));
        } else {
            EXPECT_EQ(r.value(QLatin1String("auth")).toString(), QStringLiteral("valid"))
                << path.toStdString();
            EXPECT_EQ(r.value(QLatin1String("status")).toInt(), 200) << path.toStdString();
        }
    }
}

TEST_F(ServerApiTest, ListeningTimeIsSentOnlyInRangeAndWithAToken)
{
    auto server = startServer();
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 120.0, QStringLiteral("player"), QString());
    settle();
    EXPECT_TRUE(requestsTo(*server, QStringLiteral("/v1/play/duration")).isEmpty()) << "sent without a token";

    SettingsStore::shared().setAccessToken(QStringLiteral("stored-token"));
    for (double seconds : {2.9, 3.0, 3600.0, 3600.1, 12.25})
        ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, seconds, QStringLiteral("player"),
                                     seconds == 3.0 ? QStringLiteral("QQ音乐 读取正常") : QString());
    ASSERT_TRUE(server->waitForRequests(3));
    settle();
    const auto sent = requestsTo(*server, QStringLiteral("/v1/play/duration"));
    ASSERT_EQ(sent.size(), 3);
    QList<double> seconds;
    for (const QJsonObject& r : sent) {
        const QJsonObject body = bodyOf(r);
        seconds.append(body.value(QLatin1String("seconds")).toDouble());
        EXPECT_EQ(body.value(QLatin1String("source")).toString(), QStringLiteral("player"));
        EXPECT_EQ(body.value(QLatin1String("title")).toString(), kSunny.title);
        EXPECT_EQ(headersOf(r).value(QLatin1String("Content-Type")).toString(),
                  QStringLiteral("application/json"));
        EXPECT_EQ(r.value(QLatin1String("status")).toInt(), 200);
        if (body.value(QLatin1String("seconds")).toDouble() == 3.0)
            EXPECT_EQ(body.value(QLatin1String("player_diag")).toString(), QStringLiteral("QQ音乐 读取正常"));
        else
            EXPECT_FALSE(body.contains(QLatin1String("player_diag")));
    }
    std::sort(seconds.begin(), seconds.end());
    EXPECT_EQ(seconds, (QList<double>{3.0, 12.3, 3600.0}));
}

TEST_F(ServerApiTest, FeedbackAndKeyReportBodiesArriveAsBuilt)
{
    auto server = startServer();
    const auto feedback = runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, QStringLiteral("A 小调"),
                                                      QStringLiteral("manual"), std::nullopt));
    ASSERT_TRUE(feedback.ok()) << feedback.error().message.toStdString();
    const QJsonObject report{{QStringLiteral("artist"), kSunny.artist},
                             {QStringLiteral("title"), kSunny.title},
                             {QStringLiteral("key"), QStringLiteral("G 大调")},
                             {QStringLiteral("confidence"), 0.8},
                             {QStringLiteral("conflict"), false},
                             {QStringLiteral("decision_engine"), QStringLiteral("shadow_v2")}};
    const auto posted = runTask(ServerAPI::postKeyReport(report));
    ASSERT_TRUE(posted.ok()) << posted.error().message.toStdString();

    const auto feedbacks = requestsTo(*server, QStringLiteral("/v1/key/feedback"));
    ASSERT_EQ(feedbacks.size(), 1);
    EXPECT_EQ(bodyOf(feedbacks[0]), (QJsonObject{{QStringLiteral("artist"), kSunny.artist},
                                                 {QStringLiteral("title"), kSunny.title},
                                                 {QStringLiteral("key"), QStringLiteral("A 小调")},
                                                 {QStringLiteral("source"), QStringLiteral("manual")}}));
    EXPECT_EQ(headersOf(feedbacks[0]).value(QLatin1String("Content-Type")).toString(),
              QStringLiteral("application/json"));
    const auto reports = requestsTo(*server, QStringLiteral("/v1/key/report"));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports[0].value(QLatin1String("method")).toString(), QStringLiteral("POST"));
    EXPECT_EQ(bodyOf(reports[0]), report);
}

} // namespace
