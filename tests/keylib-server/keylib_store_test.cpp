// The server's pure parts and its SQLite store, without HTTP.
#include "dotted_version.h"
#include "key_library.h"
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
    const std::tuple<const char*, const char*, int> cases[] = {
        {"0.9", "0.10", -1},    {"1.2", "1.2.0", 0},
        {"2", "1.99.99", 1},    {"", "0.0.1", -1}, // no header counts as oldest
        {"garbage", "0.1", -1},
    };
    for (const auto& [a, b, sign] : cases) {
        const int order = compareDottedVersions(QString::fromLatin1(a), QString::fromLatin1(b));
        EXPECT_EQ((order > 0) - (order < 0), sign) << a << " vs " << b;
    }
}

TEST(ServerOptions, ParsesAndRejects)
{
    const auto full =
        parseServerOptions({"--listen", "127.0.0.1:0", "--db", "/tmp/x.sqlite", "--delay-ms", "250"});
    ASSERT_TRUE(std::holds_alternative<ServerOptions>(full)) << std::get<QString>(full).toStdString();
    EXPECT_EQ(std::get<ServerOptions>(full).host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(std::get<ServerOptions>(full).port, 0);
    EXPECT_EQ(std::get<ServerOptions>(full).delay.count(), 250);

    for (const QStringList& bad :
         {QStringList{"--listen", "127.0.0.1"}, QStringList{"--listen", "h:99999"},
          QStringList{"--fail", "abc"}, QStringList{"--fail", "42"}, QStringList{"--delay-ms", "-1"},
          QStringList{"--latest-version", "1.0"}, QStringList{"--no-such-option"}, QStringList{"stray"},
          QStringList{"--db"}})
        EXPECT_TRUE(std::holds_alternative<QString>(parseServerOptions(bad))) << bad.join(' ').toStdString();
}

// Exact first (the client's tests), then the client's own identity rule (Song's tests give its
// cases); stored rows are read back by the endpoint test.
TEST(KeyLibrary, LookupFallsBackToTheClientsIdentityRule)
{
    auto library = openLibrary(QStringLiteral(":memory:"));
    ASSERT_TRUE(library);
    const auto problem = library->seed(R"({"songs": [
        {"artist": "周杰伦", "title": "晴天", "key": "G 大调", "confidence": 0.9, "low_confidence": false},
        {"artist": "Adele", "title": "Hello", "key": "F 小调", "review_status": "fallback"}]})");
    ASSERT_FALSE(problem) << problem->toStdString();
    const auto variant =
        library->lookup(QStringLiteral("Adele feat. Someone"), QStringLiteral("ＨＥＬＬＯ!"));
    ASSERT_TRUE(variant);
    EXPECT_EQ(variant->matchedBy, QStringLiteral("variant"));
    EXPECT_EQ(variant->song.reviewStatus, QStringLiteral("fallback"));
    EXPECT_FALSE(library->lookup(QStringLiteral("Someone Else"), QStringLiteral("Hello")));
    EXPECT_EQ(library->rows(QStringLiteral("songs")).size(), 2);
    EXPECT_TRUE(library->rows(QStringLiteral("songs; DROP TABLE songs")).isEmpty());
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
