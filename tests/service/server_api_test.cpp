// The real client against the real key-library server on loopback.
#include "app/keylib_test_base.h"
#include "core/build_info.h"
#include "service/server_api.h"
#include "service/service_transport.h"
#include "support/text.h"

#include <QCoro/QCoroTask>
#include <QNetworkReply>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTimer>

using namespace std::chrono_literals;
using Kind = ServiceError::Kind;

namespace {

constexpr char kSeed[] = R"([
  {"artist": "周杰伦", "title": "晴天", "key": "G 大调", "review_status": "verified", "confidence": 0.92}
])";

const Song kSunny{u("晴天"), u("周杰伦")};

template <typename Result> std::optional<Kind> failure(const Result& r)
{
    return r.ok() ? std::nullopt : std::optional(r.error().kind);
}

template <typename Result> bool fails(const Result& r, ServerAPI::Error error)
{
    return !r.ok() && r.error().is(error);
}

// Until every request the client started, fire-and-forget ones too, has its answer: what was
// sent has then reached the server's log, and what was never started is not on its way.
void settle()
{
    const auto answered = [] {
        const auto replies = service_transport::network().findChildren<QNetworkReply*>();
        return std::all_of(replies.begin(), replies.end(), [](QNetworkReply* r) { return r->isFinished(); });
    };
    QDeadlineTimer deadline(10s);
    while (!answered() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    ASSERT_TRUE(answered());
}

// Each server replaces the last; the access token comes from the environment.
class ServerApiTest : public KeylibTestBase {
protected:
    ServerApiTest() : KeylibTestBase(kSeed) {}
    void SetUp() override
    {
        qunsetenv("TONIVOX_ACCESS_TOKEN");
        KeylibTestBase::SetUp();
    }
    void TearDown() override
    {
        finishServer();
        qunsetenv("TONIVOX_ACCESS_TOKEN");
    }
    void restartServer(const QStringList& arguments)
    {
        finishServer();
        startServer(arguments);
    }
};

// 426 is upgradeRequired (not for the version check, which tells what to upgrade to); any
// other status but 200 is badResponse, the only failure feedback knows besides transport.
TEST_F(ServerApiTest, StatusesMapToTheServiceErrors)
{
    startServer({u("--min-version"), u("99.0"), u("--latest-version"), u("99.1"), u("--latest-url"), u("u")});
    EXPECT_TRUE(fails(runTask(ServerAPI::lookup(kSunny)), ServerAPI::Error::upgradeRequired));
    EXPECT_TRUE(fails(runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, {}, {}, {})),
                      ServerAPI::Error::badResponse));
    const auto version = runTask(ServerAPI::appVersion());
    EXPECT_TRUE(version.ok() && version.value().min_version == u("99.0"));

    for (const char* status : {"500", "404", "302"}) {
        restartServer({u("--fail"), u(status)});
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
    home.settings().setServerBaseURL(u("http://127.0.0.1:%1").arg(probe.serverPort()));
    probe.close();
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny))), Kind::transport);
    startServer({u("--cut-body")});
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny))), Kind::transport);

    const QByteArray huge =
        R"({"found": true, "key": "C 大调", "padding": ")" + QByteArray(6 * 1024 * 1024, 'x') + "\"}";
    restartServer({u("--answer-body"), KeylibServerProcess::writeTemp(files, u("answer.json"), huge)});
    EXPECT_TRUE(fails(runTask(ServerAPI::lookup(kSunny)), ServerAPI::Error::badResponse));
}

TEST_F(ServerApiTest, AHangingServerTimesOutOrIsCancelledWhileTheLoopRuns)
{
    startServer({u("--delay-ms"), u("30000")});
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
    const char* token = "tok-7f3a9c-SECRET";
    startServer({u("--token"), u(token), u("--latest-version"), u("0.2.0"), u("--latest-url"), u("u")});
    home.settings().setServerBaseURL(server->baseURL() + u("/api/melodrix/"));
    qputenv("TONIVOX_ACCESS_TOKEN", token);
    home.settings().setPrivacyConsent(false);
    EXPECT_EQ(failure(runTask(ServerAPI::lookup(kSunny))), Kind::consentMissing);
    EXPECT_EQ(failure(runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, {}, {}, {}))),
              Kind::consentMissing);
    EXPECT_EQ(failure(runTask(ServerAPI::postKeyReport(QJsonObject{}))), Kind::consentMissing);
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 120.0, u("player"), QString());
    EXPECT_TRUE(runTask(ServerAPI::appVersion()).ok());
    settle();
    EXPECT_EQ(server->requests().size(), 1) << "more than the version check sent without consent";

    home.settings().setPrivacyConsent(true);
    qunsetenv("TONIVOX_ACCESS_TOKEN");
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 120.0, u("player"), QString());
    settle();
    EXPECT_EQ(server->requests().size(), 1) << "listening time sent without a token";

    qputenv("TONIVOX_ACCESS_TOKEN", token);
    const auto found = runTask(ServerAPI::lookup(kSunny));
    EXPECT_TRUE(found.ok() && found.value().key == u("G 大调"));
    EXPECT_TRUE(runTask(ServerAPI::feedback(kSunny.artist, kSunny.title, {}, {}, u("G 大调"))).ok());
    const QJsonObject report{
        {u("artist"), kSunny.artist}, {u("title"), kSunny.title}, {u("key"), u("G 大调")}};
    EXPECT_TRUE(runTask(ServerAPI::postKeyReport(report)).ok());
    ServerAPI::reportPlaySeconds(kSunny.artist, kSunny.title, 61.0, u("player"), QString());
    EXPECT_TRUE(runTask(ServerAPI::appVersion()).ok());
    ASSERT_TRUE(server->waitForRequests(6));

    for (const QJsonObject& r : server->requests()) {
        const QString path = r.value(u("path")).toString();
        SCOPED_TRACE(path.toStdString());
        EXPECT_TRUE(path.startsWith(u("/api/melodrix/v1/")));
        const QByteArray line = QJsonDocument(r).toJson(QJsonDocument::Compact);
        EXPECT_FALSE(line.contains(token)) << "the token leaked outside its header: " << line.toStdString();
        const bool version = path.endsWith(u("/v1/app/version"));
        EXPECT_EQ(r.value(u("auth")).toString(), version ? u("none") : u("valid"));
        EXPECT_EQ(r.value(u("status")).toInt(), 200);
        const bool post = r.value(u("method")).toString() == u("POST");
        const QJsonObject headers = r.value(u("headers")).toObject();
        EXPECT_EQ(headers.value(u("Content-Type")).toString(), post ? u("application/json") : QString());
        EXPECT_EQ(headers.value(u("X-App-Version")).toString(), appShortVersion());
        EXPECT_TRUE(!path.endsWith(u("/v1/key/report")) ||
                    QJsonDocument::fromJson(r.value(u("body")).toString().toUtf8()).object() == report);
    }
}

} // namespace
