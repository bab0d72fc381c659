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
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Kind = ServiceError::Kind;

namespace {

constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "晴天", "key": "G 大调", "review_status": "verified", "confidence": 0.92}
])";

const Song kSunny{QStringLiteral("晴天"), QStringLiteral("周杰伦")};

template <typename Result> std::optional<Kind> failure(const Result& r)
{
    return r.ok() ? std::nullopt : std::optional(r.error().kind);
}

template <typename Result> bool fails(const Result& r, ServerAPI::Error error)
{
    return !r.ok() && r.error().is(error);
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

    TempHome m_home;
    QTemporaryDir m_files;
    QString m_seed;
    std::unique_ptr<KeylibServerProcess> m_server;
};

// 426 is upgradeRequired (not for the version check, which tells what to upgrade to); any
// other status but 200 is badResponse, the only failure feedback knows besides transport.
TEST_F(ServerApiTest, StatusesMapToTheServiceErrors)
{
    startServer({QStringLiteral("--min-version"), QStringLiteral("99.0"), QStringLiteral("--latest-version"),
                 QStringLiteral("99.1"), QStringLiteral("--latest-url"),
                 QStringLiteral("https://example.org/dl")});
    EXPECT_TRUE(fails(runTask(ServerAPI::lookup(kSunny)), ServerAPI::Error::upgradeRequired));
    EXPECT_TRUE(fails(runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, {}, {}, {})),
                      ServerAPI::Error::badResponse));
    const auto version = runTask(ServerAPI::appVersion());
    EXPECT_TRUE(version.ok() && version.value().min_version == QStringLiteral("99.0"));

    for (const char* status : {"500", "404", "302"}) {
        startServer({QStringLiteral("--fail"), QString::fromLatin1(status)});
        EXPECT_TRUE(fails(runTask(ServerAPI::lookup(kSunny)), ServerAPI::Error::badResponse)) << status;
        EXPECT_TRUE(fails(runTask(ServerAPI::appVersion()), ServerAPI::Error::badResponse)) << status;
    }
}

// A body cut short or a port with no server are transport errors; an enormous answer of the
// right shape (decoding it would "succeed") is refused, not buffered.
TEST_F(ServerApiTest, BrokenConnectionsAndEnormousAnswersFail)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    SettingsStore::shared().setServerBaseURL(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
    probe.close();
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny))), Kind::transport);
    startServer({QStringLiteral("--cut-body")});
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny))), Kind::transport);

    const QByteArray huge =
        R"({"found": true, "key": "C 大调", "padding": ")" + QByteArray(6 * 1024 * 1024, 'x') + "\"}";
    startServer({QStringLiteral("--answer-body"),
                 KeylibServerProcess::writeTemp(m_files, QStringLiteral("answer.json"), huge)});
    EXPECT_TRUE(fails(runTask(ServerAPI::lookup(kSunny)), ServerAPI::Error::badResponse));
}

TEST_F(ServerApiTest, AHangingServerTimesOutOrIsCancelledWhileTheLoopRuns)
{
    startServer({QStringLiteral("--delay-ms"), QStringLiteral("30000")});
    int ticks = 0;
    QTimer ui;
    ui.setInterval(10);
    QObject::connect(&ui, &QTimer::timeout, [&ticks] { ++ticks; });
    ui.start();
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny, {}, 800ms))), Kind::timedOut);
    EXPECT_GE(ticks, 2) << "a blocked main thread would have delivered at most one tick";

    // A stop request aborts a pending request at once; one that came first sends nothing.
    std::stop_source stop;
    QTimer::singleShot(0, [&stop] { stop.request_stop(); });
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny, stop.get_token()))), Kind::cancelled);
    EXPECT_EQ(failure(runTask(ServerAPI::postKeyReport(QJsonObject{}, stop.get_token()))), Kind::cancelled);
}

// Without consent only the version check is sent. With it, every call that may carry the
// token carries it as a Bearer header and nowhere else; the version check never does.
// Listening time goes only with a token. Every call goes under the base's own path, with the
// program's version. (The query's encoding: ServiceAddress.)
TEST_F(ServerApiTest, ConsentGatesTheCallsAndTheTokenTravelsOnlyAsABearerHeader)
{
    const QByteArray token = "tok-7f3a9c-SECRET";
    auto server = startServer({QStringLiteral("--token"), QString::fromLatin1(token),
                               QStringLiteral("--latest-version"), QStringLiteral("0.2.0"),
                               QStringLiteral("--latest-url"), QStringLiteral("u")},
                              QStringLiteral("/api/melodrix/"));
    qputenv("TONIVOX_ACCESS_TOKEN", token);
    SettingsStore::shared().setPrivacyConsent(false);
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny))), Kind::consentMissing);
    EXPECT_EQ(failure(runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, {}, {}, {}))),
              Kind::consentMissing);
    EXPECT_EQ(failure(runTask(ServerAPI::postKeyReport(QJsonObject{}))), Kind::consentMissing);
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 120.0, QStringLiteral("player"), QString());
    EXPECT_TRUE(runTask(ServerAPI::appVersion()).ok());
    settle();
    EXPECT_EQ(server->requests().size(), 1) << "more than the version check sent without consent";

    SettingsStore::shared().setPrivacyConsent(true);
    qunsetenv("TONIVOX_ACCESS_TOKEN");
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 120.0, QStringLiteral("player"), QString());
    settle();
    EXPECT_EQ(server->requests().size(), 1) << "listening time sent without a token";

    qputenv("TONIVOX_ACCESS_TOKEN", token);
    const auto found = runTask(ServerAPI::lookup(kSunny));
    EXPECT_TRUE(found.ok() && found.value().key == QStringLiteral("G 大调"));
    EXPECT_TRUE(
        runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, {}, {}, QStringLiteral("G 大调"))).ok());
    const QJsonObject report{{QStringLiteral("artist"), kSunny.artist},
                             {QStringLiteral("title"), kSunny.title},
                             {QStringLiteral("key"), QStringLiteral("G 大调")}};
    EXPECT_TRUE(runTask(ServerAPI::postKeyReport(report)).ok());
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 61.0, QStringLiteral("player"), QString());
    EXPECT_TRUE(runTask(ServerAPI::appVersion()).ok());
    ASSERT_TRUE(server->waitForRequests(6));

    for (const QJsonObject& r : server->requests()) {
        const QString path = r.value(QLatin1String("path")).toString();
        SCOPED_TRACE(path.toStdString());
        EXPECT_TRUE(path.startsWith(QLatin1String("/api/melodrix/v1/")));
        const QByteArray line = QJsonDocument(r).toJson(QJsonDocument::Compact);
        EXPECT_FALSE(line.contains(token)) << "the token leaked outside its header: " << line.toStdString();
        const bool version = path.endsWith(QLatin1String("/v1/app/version"));
        EXPECT_EQ(r.value(QLatin1String("auth")).toString(),
                  version ? QStringLiteral("none") : QStringLiteral("valid"));
        EXPECT_EQ(r.value(QLatin1String("status")).toInt(), 200);
        const bool post = r.value(QLatin1String("method")).toString() == QLatin1String("POST");
        const QJsonObject headers = r.value(QLatin1String("headers")).toObject();
        EXPECT_EQ(headers.value(QLatin1String("Content-Type")).toString(),
                  post ? QStringLiteral("application/json") : QString());
        EXPECT_EQ(headers.value(QLatin1String("X-App-Version")).toString(), appShortVersion());
        EXPECT_TRUE(!path.endsWith(QLatin1String("/v1/key/report")) ||
                    QJsonDocument::fromJson(r.value(QLatin1String("body")).toString().toUtf8()).object() ==
                        report);
    }
}

} // namespace
