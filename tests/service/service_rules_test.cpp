#include "core/settings_store.h"
#include "service/access_token.h"
#include "service/service_address.h"
#include "service/service_bodies.h"
#include "support/temp_home.h"
#include "support/text.h"

#include <QJsonDocument>
#include <gtest/gtest.h>
#include <limits>

using service_address::resolveBase;

TEST(ServiceAddress, StoredBaseIsUsedOnlyWhenAbsoluteHttp)
{
    const QUrl builtIn(QString::fromLatin1(service_address::kBuiltInBaseURL));
    EXPECT_EQ(resolveBase(u("http://127.0.0.1:8080/keys")), QUrl(u("http://127.0.0.1:8080/keys")));
    EXPECT_EQ(resolveBase(u("  HTTPS://Example.org  ")).host(), u("example.org"));
    for (const char* malformed :
         {"", "not a url", "/api/melodrix", "ftp://example.org/x", "http://", "http:///path",
          "file:///etc/passwd", "http://exa mple.org/", "javascript:alert(1)"})
        EXPECT_EQ(resolveBase(QString::fromLatin1(malformed)), builtIn) << malformed;
    EXPECT_EQ(resolveBase(std::nullopt), builtIn);
}

TEST(ServiceAddress, EndpointPathIsAppendedAsComponentsAndQueryItemsEncoded)
{
    const std::pair<const char*, const char*> cases[] = {
        {"https://h.example/api/melodrix", "https://h.example/api/melodrix/v1/key/lookup"},
        {"https://h.example/api/melodrix/", "https://h.example/api/melodrix/v1/key/lookup"},
        {"http://127.0.0.1:9000", "http://127.0.0.1:9000/v1/key/lookup"},
        {"http://h/a%20b/?q=1#frag", "http://h/a%20b/v1/key/lookup"},
    };
    for (const auto& [base, url] : cases)
        EXPECT_EQ(service_address::endpoint(QUrl(QString::fromLatin1(base)), u("/v1/key/lookup")).toEncoded(),
                  QByteArray(url));
    EXPECT_EQ(service_address::lookupQuery(u("A&B=C"), u("晴天 1+1?#%")),
              u("artist=A%26B%3DC&title=%E6%99%B4%E5%A4%A9%201%2B1%3F%23%25"));
}

TEST(ServiceBodies, FeedbackCarriesOnlyTheFieldsGiven)
{
    const auto compact = [](const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); };
    EXPECT_EQ(compact(service_bodies::feedback(u("a"), u("t"), {}, {}, {})),
              QByteArray(R"({"artist":"a","title":"t"})"));
    EXPECT_EQ(compact(service_bodies::feedback(u("a"), u("t"), u("C"), u("manual"), u("A"))),
              QByteArray(R"({"artist":"a","key":"C","prev_key":"A","source":"manual","title":"t"})"));
}

// 3 s to an hour, checked before rounding to a tenth (halves away from zero).
TEST(ServiceBodies, PlaySecondsRangeAndRounding)
{
    const auto sent = [](double s, const QString& diag = {}) {
        return service_bodies::playSeconds(u("a"), u("t"), s, u("player"), diag);
    };
    for (double outside : {2.99, 3600.04, -5.0, std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(sent(outside)) << outside;
    for (const auto& [seconds, rounded] :
         {std::pair{3.0, 3.0}, {3600.0, 3600.0}, {12.25, 12.3}, {12.24, 12.2}})
        EXPECT_EQ(sent(seconds)->value(u("seconds")).toDouble(), rounded) << seconds;
    EXPECT_EQ(service_bodies::roundToTenth(-12.25), -12.3);
    EXPECT_FALSE(sent(3)->contains(u("player_diag")));
    EXPECT_EQ(sent(42, u("QQ音乐 ok"))->value(u("player_diag")).toString(), u("QQ音乐 ok"));
}

TEST(AccessToken, EnvironmentFirstThenSettingsAndUnsafeTextsRefused)
{
    TempHome home;
    qunsetenv("TONIVOX_ACCESS_TOKEN");
    EXPECT_FALSE(currentAccessToken());
    SettingsStore::shared().setAccessToken(u("stored-token"));
    EXPECT_EQ(currentAccessToken(), u("stored-token"));
    qputenv("TONIVOX_ACCESS_TOKEN", "env-token");
    EXPECT_EQ(currentAccessToken(), u("env-token"));
    qputenv("TONIVOX_ACCESS_TOKEN", "");
    EXPECT_EQ(currentAccessToken(), u("stored-token"));
    qunsetenv("TONIVOX_ACCESS_TOKEN");
    SettingsStore::shared().setAccessToken(u("   "));
    EXPECT_FALSE(currentAccessToken());

    EXPECT_EQ(usableAccessToken(u(" abc.DEF-123_~+/= \n")), u("abc.DEF-123_~+/="));
    for (const QString& unsafe : {u("abc\r\nX-Evil: 1"), u("a b"), u("tök"), u("a\tb"), QString()})
        EXPECT_FALSE(usableAccessToken(unsafe)) << unsafe.toStdString();
}
