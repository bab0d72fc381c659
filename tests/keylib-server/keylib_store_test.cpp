// The server's pure parts and its SQLite store, without HTTP.
#include "dotted_version.h"
#include "key_library.h"
#include "request_log.h"
#include "server_options.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

std::unique_ptr<KeyLibrary> openLibrary(const QString& path)
{
    QString error;
    auto library = KeyLibrary::open(path, &error);
    EXPECT_TRUE(library) << error.toStdString();
    return library;
}

} // namespace

TEST(DottedVersion, ComparesNumberByNumber)
{
    EXPECT_LT(compareDottedVersions(QStringLiteral("0.9"), QStringLiteral("0.10")), 0);
    EXPECT_EQ(compareDottedVersions(QStringLiteral("1.2"), QStringLiteral("1.2.0")), 0);
    EXPECT_GT(compareDottedVersions(QStringLiteral("2"), QStringLiteral("1.99.99")), 0);
    EXPECT_LT(compareDottedVersions(QString(), QStringLiteral("0.0.1")), 0); // no header counts as oldest
    EXPECT_LT(compareDottedVersions(QStringLiteral("garbage"), QStringLiteral("0.1")), 0);
}

TEST(ServerOptions, ParsesAndRejects)
{
    const auto defaults = parseServerOptions({});
    ASSERT_TRUE(std::holds_alternative<ServerOptions>(defaults));
    EXPECT_EQ(std::get<ServerOptions>(defaults).dbPath, QStringLiteral(":memory:"));
    EXPECT_FALSE(std::get<ServerOptions>(defaults).failStatus);

    const auto full = parseServerOptions({"--listen", "127.0.0.1:0", "--db", "/tmp/x.sqlite", "--min-version",
                                          "0.2", "--latest-version", "0.3", "--latest-url", "https://e/dl",
                                          "--fail", "503", "--delay-ms", "250", "--cut-body"});
    ASSERT_TRUE(std::holds_alternative<ServerOptions>(full)) << std::get<QString>(full).toStdString();
    const auto& o = std::get<ServerOptions>(full);
    EXPECT_EQ(o.host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.minVersion, QStringLiteral("0.2"));
    EXPECT_EQ(o.latestURL, QStringLiteral("https://e/dl"));
    EXPECT_EQ(o.failStatus, 503);
    EXPECT_EQ(o.delay.count(), 250);
    EXPECT_TRUE(o.cutBody);

    for (const QStringList& bad :
         {QStringList{"--listen", "127.0.0.1"}, QStringList{"--listen", "h:99999"},
          QStringList{"--fail", "abc"}, QStringList{"--fail", "42"}, QStringList{"--delay-ms", "-1"},
          QStringList{"--latest-version", "1.0"}, QStringList{"--no-such-option"}, QStringList{"stray"}})
        EXPECT_TRUE(std::holds_alternative<QString>(parseServerOptions(bad))) << bad.join(' ').toStdString();
}

TEST(RequestLog, LineCarriesTheRequestButNotTheToken)
{
    RequestRecord record;
    record.method = QStringLiteral("GET");
    record.path = QStringLiteral("/v1/key/lookup");
    record.rawQuery = QStringLiteral("artist=a&title=%E6%99%B4");
    record.query = {{QStringLiteral("artist"), QStringLiteral("a")},
                    {QStringLiteral("title"), QStringLiteral("晴")}};
    record.headers = {{QStringLiteral("authorization"), QStringLiteral("Bearer s3cr3t-token")},
                      {QStringLiteral("X-App-Version"), QStringLiteral("0.1.0")}};
    record.auth = QStringLiteral("valid");
    record.status = 200;
    const QByteArray line = requestLogLine(record);
    ASSERT_TRUE(line.endsWith('\n'));
    EXPECT_EQ(line.count('\n'), 1);
    EXPECT_FALSE(line.contains("s3cr3t-token"));
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    EXPECT_EQ(o.value(QLatin1String("headers")).toObject().value(QLatin1String("authorization")).toString(),
              QStringLiteral("Bearer [redacted]"));
    EXPECT_EQ(o.value(QLatin1String("query")).toObject().value(QLatin1String("title")).toString(),
              QStringLiteral("晴"));
    EXPECT_EQ(o.value(QLatin1String("status")).toInt(), 200);
}

TEST(KeyLibrary, SeedLookupAndStoredRowsSurviveReopening)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/keys.sqlite");
    {
        auto library = openLibrary(path);
        ASSERT_TRUE(library);
        const auto problem = library->seed(R"({"songs": [
            {"artist": "周杰伦", "title": "晴天", "key": "G 大调", "confidence": 0.9, "low_confidence": false},
            {"artist": "Adele", "title": "Hello", "key": "F 小调", "review_status": "fallback"}]})");
        ASSERT_FALSE(problem) << problem->toStdString();

        const auto exact = library->lookup(QStringLiteral("周杰伦"), QStringLiteral("晴天"));
        ASSERT_TRUE(exact);
        EXPECT_EQ(exact->matchedBy, QStringLiteral("exact"));
        EXPECT_EQ(exact->song.key, QStringLiteral("G 大调"));
        EXPECT_EQ(exact->song.confidence, 0.9);
        EXPECT_EQ(exact->song.lowConfidence, false);

        // The client's identity rule: punctuation, width and featured artists are tolerated...
        const auto variant =
            library->lookup(QStringLiteral("Adele feat. Someone"), QStringLiteral("ＨＥＬＬＯ!"));
        ASSERT_TRUE(variant);
        EXPECT_EQ(variant->matchedBy, QStringLiteral("variant"));
        EXPECT_EQ(variant->song.title, QStringLiteral("Hello"));
        EXPECT_EQ(variant->song.reviewStatus, QStringLiteral("fallback"));
        // ...version markers and other artists are not.
        EXPECT_FALSE(library->lookup(QStringLiteral("周杰伦"), QStringLiteral("晴天（现场）")));
        EXPECT_FALSE(library->lookup(QStringLiteral("Someone Else"), QStringLiteral("Hello")));

        EXPECT_TRUE(library->addFeedback(QStringLiteral("a"), QStringLiteral("t"), QStringLiteral("C 大调"),
                                         QStringLiteral("button"), std::nullopt));
        EXPECT_TRUE(library->addReport(QStringLiteral("a"), QStringLiteral("t"), QStringLiteral("C 大调"),
                                       R"({"artist":"a","title":"t","key":"C 大调","confidence":0.8})"));
        EXPECT_TRUE(library->addPlayDuration(QStringLiteral("a"), QStringLiteral("t"), 61.5,
                                             QStringLiteral("player"), std::nullopt));
    }
    auto reopened = openLibrary(path);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->rows(QStringLiteral("songs")).size(), 2);
    const auto feedback = reopened->rows(QStringLiteral("feedback"));
    ASSERT_EQ(feedback.size(), 1);
    EXPECT_EQ(feedback[0].value(QLatin1String("source")).toString(), QStringLiteral("button"));
    EXPECT_TRUE(feedback[0].value(QLatin1String("prev_key")).isNull());
    const auto reports = reopened->rows(QStringLiteral("key_reports"));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(
        reports[0].value(QLatin1String("body")).toString().contains(QLatin1String("\"confidence\":0.8")));
    const auto durations = reopened->rows(QStringLiteral("play_durations"));
    ASSERT_EQ(durations.size(), 1);
    EXPECT_EQ(durations[0].value(QLatin1String("seconds")).toDouble(), 61.5);
    EXPECT_TRUE(reopened->rows(QStringLiteral("songs; DROP TABLE songs")).isEmpty());
}

TEST(KeyLibrary, BadSeedsAreRefusedWholeWithTheirReason)
{
    auto library = openLibrary(QStringLiteral(":memory:"));
    ASSERT_TRUE(library);
    const struct {
        const char* json;
        const char* reason;
    } bad[] = {
        {"", "not JSON"},
        {R"({"artist": "a"})", "expected a list"},
        {R"([{"artist": "a", "title": "t", "key": "C 大调"}, {"artist": "b", "title": "t"}])", "song 1"},
        {R"([{"artist": "a", "title": "t", "key": 7}])", "\"key\""},
        {R"([{"artist": "a", "title": "t", "key": "C 大调", "confidence": "high"}])", "confidence"},
        {R"([{"artist": "a", "title": "t", "key": "C 大调", "low_confidence": 1}])", "low_confidence"},
        {R"([42])", "not an object"},
    };
    for (const auto& c : bad) {
        const auto problem = library->seed(QByteArray(c.json));
        ASSERT_TRUE(problem) << c.json;
        EXPECT_TRUE(problem->contains(QLatin1String(c.reason))) << problem->toStdString();
    }
    EXPECT_TRUE(library->rows(QStringLiteral("songs")).isEmpty()) << "a refused seed stored part of itself";

    QTemporaryDir dir;
    QString error;
    EXPECT_FALSE(KeyLibrary::open(dir.path() + QStringLiteral("/missing/folder/keys.sqlite"), &error));
    EXPECT_FALSE(error.isEmpty());
}
