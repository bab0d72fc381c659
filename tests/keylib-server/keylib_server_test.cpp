// The server binary over HTTP, driven by cpp-httplib's client.
#include "key_library.h"
#include "support/keylib_server_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <gtest/gtest.h>
#include <httplib.h>
#include <thread>

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
        return server;
    }
    static httplib::Client client(const KeylibServerProcess& server)
    {
        httplib::Client c("127.0.0.1", server.port());
        c.set_read_timeout(5, 0);
        return c;
    }
    static httplib::Headers appVersion(const char* v) { return {{"X-App-Version", v}}; }

    QTemporaryDir m_files;
};

TEST_F(KeylibServerTest, LookupHitMissAndBadRequests)
{
    auto server = start();
    auto c = client(*server);
    const auto hit =
        c.Get("/api/melodrix/v1/key/lookup?artist=%E5%91%A8%E6%9D%B0%E4%BC%A6&title=%E6%99%B4%E5%A4%A9");
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->status, 200);
    EXPECT_EQ(json(hit).value(QLatin1String("found")).toBool(), true);
    EXPECT_EQ(json(hit).value(QLatin1String("key")).toString(), QStringLiteral("G 大调"));
    EXPECT_EQ(json(hit).value(QLatin1String("matched_by")).toString(), QStringLiteral("exact"));

    const auto variant =
        c.Get("/v1/key/lookup?artist=%E5%91%A8%E6%9D%B0%E4%BC%A6&title=%E6%99%B4%E5%A4%A9%EF%BC%81");
    ASSERT_TRUE(variant);
    EXPECT_EQ(json(variant).value(QLatin1String("matched_by")).toString(), QStringLiteral("variant"));

    const auto miss = c.Get("/v1/key/lookup?artist=x&title=y");
    ASSERT_TRUE(miss);
    EXPECT_EQ(miss->status, 200);
    EXPECT_EQ(json(miss), (QJsonObject{{QStringLiteral("found"), false}}));

    const auto noTitle = c.Get("/v1/key/lookup?artist=x");
    ASSERT_TRUE(noTitle);
    EXPECT_EQ(noTitle->status, 400);
    const auto unknown = c.Get("/v2/nothing");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    const auto notJson = c.Post("/v1/key/feedback", "{not json", "application/json");
    ASSERT_TRUE(notJson);
    EXPECT_EQ(notJson->status, 400);
    ASSERT_TRUE(server->waitForRequests(6));
}

TEST_F(KeylibServerTest, FeedbackReportsAndListeningTimesAreStored)
{
    auto server = start({QStringLiteral("--token"), QStringLiteral("t0ken")});
    {
        auto c = client(*server);
        const auto feedback =
            c.Post("/v1/key/feedback", R"({"artist":"a","title":"t","prev_key":"C 大调","source":"button"})",
                   "application/json");
        ASSERT_TRUE(feedback);
        EXPECT_EQ(feedback->status, 200);
        const auto report =
            c.Post("/v1/key/report", R"({"artist":"a","title":"t","key":"D 小调","conflict":true})",
                   "application/json");
        ASSERT_TRUE(report);
        EXPECT_EQ(report->status, 200);
        const auto badReport = c.Post("/v1/key/report", R"({"artist":"a","title":"t"})", "application/json");
        ASSERT_TRUE(badReport);
        EXPECT_EQ(badReport->status, 400);

        const char* duration = R"({"artist":"a","title":"t","seconds":42.5,"source":"player"})";
        const auto anonymous = c.Post("/v1/play/duration", duration, "application/json");
        ASSERT_TRUE(anonymous);
        EXPECT_EQ(anonymous->status, 401);
        const auto wrong =
            c.Post("/v1/play/duration", {{"Authorization", "Bearer nope"}}, duration, "application/json");
        ASSERT_TRUE(wrong);
        EXPECT_EQ(wrong->status, 401);
        const auto accepted =
            c.Post("/v1/play/duration", {{"Authorization", "Bearer t0ken"}}, duration, "application/json");
        ASSERT_TRUE(accepted);
        EXPECT_EQ(accepted->status, 200);
    }
    EXPECT_EQ(server->stop(), 0) << "SIGTERM should end the server cleanly";

    QString error;
    const auto library = KeyLibrary::open(server->dbPath(), &error);
    ASSERT_TRUE(library) << error.toStdString();
    const auto feedback = library->rows(QStringLiteral("feedback"));
    ASSERT_EQ(feedback.size(), 1);
    EXPECT_EQ(feedback[0].value(QLatin1String("prev_key")).toString(), QStringLiteral("C 大调"));
    EXPECT_TRUE(feedback[0].value(QLatin1String("key")).isNull());
    const auto reports = library->rows(QStringLiteral("key_reports"));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports[0].value(QLatin1String("key")).toString(), QStringLiteral("D 小调"));
    const auto durations = library->rows(QStringLiteral("play_durations"));
    ASSERT_EQ(durations.size(), 1);
    EXPECT_EQ(durations[0].value(QLatin1String("seconds")).toDouble(), 42.5);

    const auto logged = server->requests();
    ASSERT_EQ(logged.size(), 6);
    EXPECT_EQ(logged[4].value(QLatin1String("auth")).toString(), QStringLiteral("invalid"));
    EXPECT_EQ(logged[5].value(QLatin1String("auth")).toString(), QStringLiteral("valid"));
}

TEST_F(KeylibServerTest, VersionAnswersAndTheMinimumVersion)
{
    {
        auto server = start();
        auto c = client(*server);
        const auto none = c.Get("/v1/app/version");
        ASSERT_TRUE(none);
        EXPECT_EQ(none->status, 404);
    }
    auto server =
        start({QStringLiteral("--min-version"), QStringLiteral("0.10"), QStringLiteral("--latest-version"),
               QStringLiteral("0.12.1"), QStringLiteral("--latest-url"), QStringLiteral("https://e/dl"),
               QStringLiteral("--latest-notes"), QStringLiteral("更稳定")});
    auto c = client(*server);
    const auto version = c.Get("/v1/app/version", appVersion("0.9"));
    ASSERT_TRUE(version);
    EXPECT_EQ(version->status, 200) << "the version check must stay open to old clients";
    EXPECT_EQ(json(version), (QJsonObject{{QStringLiteral("version"), QStringLiteral("0.12.1")},
                                          {QStringLiteral("min_version"), QStringLiteral("0.10")},
                                          {QStringLiteral("url"), QStringLiteral("https://e/dl")},
                                          {QStringLiteral("notes"), QStringLiteral("更稳定")}}));
    const char* lookup = "/v1/key/lookup?artist=x&title=y";
    const auto old = c.Get(lookup, appVersion("0.9"));
    ASSERT_TRUE(old);
    EXPECT_EQ(old->status, 426);
    const auto missing = c.Get(lookup);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 426);
    const auto current = c.Get(lookup, appVersion("0.10.0"));
    ASSERT_TRUE(current);
    EXPECT_EQ(current->status, 200);
}

TEST_F(KeylibServerTest, FailAndDelaySwitches)
{
    {
        auto server = start({QStringLiteral("--fail"), QStringLiteral("503")});
        auto c = client(*server);
        for (const char* path : {"/v1/key/lookup?artist=a&title=b", "/v1/app/version"}) {
            const auto r = c.Get(path);
            ASSERT_TRUE(r) << path;
            EXPECT_EQ(r->status, 503) << path;
        }
        const auto post =
            c.Post("/v1/key/report", R"({"artist":"a","title":"t","key":"C 大调"})", "application/json");
        ASSERT_TRUE(post);
        EXPECT_EQ(post->status, 503);
    }
    auto server = start({QStringLiteral("--delay-ms"), QStringLiteral("1500")});
    auto c = client(*server);
    c.set_read_timeout(0, 300'000);
    EXPECT_FALSE(c.Get("/v1/key/lookup?artist=a&title=b")) << "answered before the delay";
    c.set_read_timeout(10, 0);
    const auto late = c.Get("/v1/key/lookup?artist=a&title=b");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status, 200);

    // A shutdown wakes an answer that is still being delayed instead of waiting it out, and
    // the waiting client is told so.
    auto pending = std::async(std::launch::async, [port = server->port()] {
        httplib::Client waiting("127.0.0.1", port);
        waiting.set_read_timeout(10, 0);
        const auto answer = waiting.Get("/v1/app/version");
        return answer ? answer->status : -1;
    });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return server->errorOutput().count("delaying an answer") >= 3; }, 5000));
    EXPECT_EQ(server->stop(), 0);
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(pending.get(), 503);
}

TEST_F(KeylibServerTest, StartUpErrorsAreReportedNotServed)
{
    const QString badSeed =
        KeylibServerProcess::writeTemp(m_files, QStringLiteral("bad.json"), R"([{"artist": 1}])");
    const ServerRun seeded = runServerToEnd(
        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--seed"), badSeed});
    EXPECT_EQ(seeded.exitCode, 2);
    EXPECT_TRUE(seeded.errorOutput.contains("song 0")) << seeded.errorOutput.toStdString();

    const ServerRun missing =
        runServerToEnd({QStringLiteral("--seed"), m_files.path() + QStringLiteral("/none.json")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.errorOutput.contains("cannot read")) << missing.errorOutput.toStdString();

    const ServerRun badOption = runServerToEnd({QStringLiteral("--fail"), QStringLiteral("teapot")});
    EXPECT_EQ(badOption.exitCode, 2);
    EXPECT_TRUE(badOption.errorOutput.contains("--fail")) << badOption.errorOutput.toStdString();
}

} // namespace
