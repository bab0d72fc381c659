// The server binary over HTTP, driven by cpp-httplib's client.
#include "key_library.h"
#include "support/keylib_server_process.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <gtest/gtest.h>
#include <httplib.h>

namespace {

constexpr char kSeed[] =
    R"([{"artist": "周杰伦", "title": "晴天", "key": "G 大调", "review_status": "verified"}])";

QJsonObject json(const httplib::Result& result)
{
    return result ? QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object() : QJsonObject();
}

class KeylibServerTest : public ::testing::Test {
protected:
    std::unique_ptr<KeylibServerProcess> start(QStringList arguments = {})
    {
        arguments << QStringLiteral("--seed")
                  << KeylibServerProcess::writeTemp(m_files, QStringLiteral("seed.json"), kSeed);
        auto server = std::make_unique<KeylibServerProcess>(arguments);
        EXPECT_TRUE(server->started()) << server->errorOutput().toStdString();
        m_client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        m_client->set_read_timeout(10, 0);
        return server;
    }
    int get(const char* path) { return status(m_client->Get(path)); }
    int post(const char* path, const char* body, const httplib::Headers& headers = {})
    {
        return status(m_client->Post(path, headers, body, "application/json"));
    }
    static int status(const httplib::Result& result) { return result ? result->status : -1; }

    QTemporaryDir m_files;
    std::unique_ptr<httplib::Client> m_client;
};

// What each endpoint answers, then what it stored (read after a clean SIGTERM). (Hits: the
// client's tests.)
TEST_F(KeylibServerTest, EndpointsAnswerAndStore)
{
    auto server = start({QStringLiteral("--token"), QStringLiteral("t0ken")});
    EXPECT_EQ(json(m_client->Get("/v1/key/lookup?artist=x&title=y")),
              (QJsonObject{{QStringLiteral("found"), false}}));

    const char* duration = R"({"artist":"a","title":"t","seconds":42.5,"source":"player"})";
    const struct {
        int status;
        int got;
    } cases[] = {
        {400, get("/v1/key/lookup?artist=x")},
        {404, get("/v2/nothing")},
        {404, get("/v1/app/version")}, // no release announced
        {400, post("/v1/key/feedback", "{not json")},
        {200,
         post("/v1/key/feedback", R"({"artist":"a","title":"t","prev_key":"C 大调","source":"button"})")},
        {400, post("/v1/key/report", R"({"artist":"a","title":"t"})")},
        {200, post("/v1/key/report", R"({"artist":"a","title":"t","key":"D 小调","conflict":true})")},
        {401, post("/v1/play/duration", duration)},
        {401, post("/v1/play/duration", duration, {{"Authorization", "Bearer nope"}})},
        {400,
         post("/v1/play/duration", R"({"artist":"a","title":"t"})", {{"Authorization", "Bearer t0ken"}})},
        {200, post("/v1/play/duration", duration, {{"Authorization", "Bearer t0ken"}})},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].got, cases[i].status) << "request " << i;
    m_client.reset();
    EXPECT_EQ(server->stop(), 0) << "SIGTERM should end the server cleanly";

    QString error;
    const auto library = KeyLibrary::open(server->dbPath(), &error);
    ASSERT_TRUE(library) << error.toStdString();
    const auto feedback = library->rows(QStringLiteral("feedback"));
    ASSERT_EQ(feedback.size(), 1);
    EXPECT_EQ(feedback[0].value(QLatin1String("prev_key")).toString(), QStringLiteral("C 大调"));
    EXPECT_TRUE(feedback[0].value(QLatin1String("key")).isNull());
    EXPECT_EQ(library->rows(QStringLiteral("key_reports")).size(), 1);
    const auto durations = library->rows(QStringLiteral("play_durations"));
    ASSERT_EQ(durations.size(), 1);
    EXPECT_EQ(durations[0].value(QLatin1String("seconds")).toDouble(), 42.5);
    const auto logged = server->requests();
    ASSERT_EQ(logged.size(), 12);
    EXPECT_EQ(logged[9].value(QLatin1String("auth")).toString(), QStringLiteral("invalid"));
    EXPECT_EQ(logged[11].value(QLatin1String("auth")).toString(), QStringLiteral("valid"));
}

// A shutdown wakes an answer that is still being delayed instead of waiting it out, and the
// waiting client is told so. (--fail: the client's status test.)
TEST_F(KeylibServerTest, AShutdownAnswersADelayedRequest)
{
    auto server = start({QStringLiteral("--delay-ms"), QStringLiteral("60000")});
    auto pending = std::async(std::launch::async, [port = server->port()] {
        httplib::Client waiting("127.0.0.1", port);
        waiting.set_read_timeout(10, 0);
        return status(waiting.Get("/v1/app/version"));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->errorOutput().contains("delaying an answer"); }, 5000));
    EXPECT_EQ(server->stop(), 0);
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(pending.get(), 503);
}

} // namespace
