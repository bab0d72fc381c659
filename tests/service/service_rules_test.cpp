#include "core/settings_store.h"
#include "service/access_token.h"
#include "service/service_address.h"
#include "service/service_bodies.h"
#include "support/temp_home.h"

#include <QJsonDocument>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using service_address::endpoint;
using service_address::resolveBase;

TEST(ServiceAddress, StoredBaseIsUsedOnlyWhenAbsoluteHttp)
{
    const QUrl builtIn(QString::fromLatin1(service_address::kBuiltInBaseURL));
    EXPECT_EQ(builtIn.scheme(), QStringLiteral("https"));
    EXPECT_EQ(builtIn.path(), QStringLiteral("/api/melodrix"));

    EXPECT_EQ(resolveBase(QStringLiteral("http://127.0.0.1:8080/keys")),
              QUrl(QStringLiteral("http://127.0.0.1:8080/keys")));
    EXPECT_EQ(resolveBase(QStringLiteral("  HTTPS://Example.org  ")).host(), QStringLiteral("example.org"));
    for (const char* malformed :
         {"", "not a url", "/api/melodrix", "ftp://example.org/x", "http://", "http:///path",
          "file:///etc/passwd", "http://exa mple.org/", "javascript:alert(1)"})
        EXPECT_EQ(resolveBase(QString::fromLatin1(malformed)), builtIn) << malformed;
    EXPECT_EQ(resolveBase(std::nullopt), builtIn);
}

TEST(ServiceAddress, EndpointPathIsAppendedAsComponents)
{
    const auto at = [](const char* base) {
        return QString::fromLatin1(
            endpoint(QUrl(QString::fromLatin1(base)), QStringLiteral("/v1/key/lookup")).toEncoded());
    };
    EXPECT_EQ(at("https://h.example/api/melodrix"),
              QStringLiteral("https://h.example/api/melodrix/v1/key/lookup"));
    EXPECT_EQ(at("https://h.example/api/melodrix/"),
              QStringLiteral("https://h.example/api/melodrix/v1/key/lookup"));
    EXPECT_EQ(at("http://127.0.0.1:9000"), QStringLiteral("http://127.0.0.1:9000/v1/key/lookup"));
    EXPECT_EQ(at("http://127.0.0.1:9000/"), QStringLiteral("http://127.0.0.1:9000/v1/key/lookup"));
    EXPECT_EQ(at("http://h/a%20b/?q=1#frag"), QStringLiteral("http://h/a%20b/v1/key/lookup"));
}

TEST(ServiceAddress, LookupQueryEncodesEverySpecialCharacter)
{
    const QString query =
        service_address::lookupQuery(QStringLiteral("A&B=C"), QStringLiteral("晴天 1+1?#%"));
    EXPECT_EQ(query, QStringLiteral("artist=A%26B%3DC&title=%E6%99%B4%E5%A4%A9%201%2B1%3F%23%25"));
}

TEST(ServiceBodies, FeedbackCarriesOnlyTheFieldsGiven)
{
    const QJsonObject bare = service_bodies::feedback(QStringLiteral("a"), QStringLiteral("t"), std::nullopt,
                                                      std::nullopt, std::nullopt);
    EXPECT_EQ(QJsonDocument(bare).toJson(QJsonDocument::Compact),
              QByteArray(R"({"artist":"a","title":"t"})"));
    const QJsonObject full =
        service_bodies::feedback(QStringLiteral("a"), QStringLiteral("t"), QStringLiteral("C 大调"),
                                 QStringLiteral("manual"), QStringLiteral("A 小调"));
    EXPECT_EQ(full.value(QLatin1String("key")).toString(), QStringLiteral("C 大调"));
    EXPECT_EQ(full.value(QLatin1String("source")).toString(), QStringLiteral("manual"));
    EXPECT_EQ(full.value(QLatin1String("prev_key")).toString(), QStringLiteral("A 小调"));
}

TEST(ServiceBodies, PlaySecondsRangeAndRounding)
{
    const auto body = [](double s) {
        return service_bodies::playSeconds(QStringLiteral("a"), QStringLiteral("t"), s,
                                           QStringLiteral("player"), QString());
    };
    EXPECT_FALSE(body(2.9));
    EXPECT_FALSE(body(2.99));
    EXPECT_FALSE(body(3600.1));
    EXPECT_FALSE(body(3600.04)); // the range is checked before rounding
    EXPECT_FALSE(body(-5));
    EXPECT_FALSE(body(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(body(std::numeric_limits<double>::infinity()));
    ASSERT_TRUE(body(3));
    EXPECT_EQ(body(3)->value(QLatin1String("seconds")).toDouble(), 3.0);
    EXPECT_EQ(body(3600)->value(QLatin1String("seconds")).toDouble(), 3600.0);
    EXPECT_FALSE(body(3)->contains(QLatin1String("player_diag")));
    EXPECT_EQ(body(3)->value(QLatin1String("source")).toString(), QStringLiteral("player"));

    EXPECT_EQ(service_bodies::roundToTenth(12.25), 12.3); // exact half: away from zero
    EXPECT_EQ(service_bodies::roundToTenth(-12.25), -12.3);
    EXPECT_EQ(service_bodies::roundToTenth(12.24), 12.2);
    EXPECT_EQ(service_bodies::roundToTenth(59.96), 60.0);

    const auto withDiag = service_bodies::playSeconds(QStringLiteral("a"), QStringLiteral("t"), 42.0,
                                                      QStringLiteral("player"), QStringLiteral("QQ音乐 ok"));
    EXPECT_EQ(withDiag->value(QLatin1String("player_diag")).toString(), QStringLiteral("QQ音乐 ok"));
}

TEST(AccessToken, EnvironmentFirstThenSettingsAndUnsafeTextsRefused)
{
    TempHome home;
    qunsetenv("TONIVOX_ACCESS_TOKEN");
    EXPECT_FALSE(currentAccessToken());

    SettingsStore::shared().setAccessToken(QStringLiteral("stored-token"));
    EXPECT_EQ(currentAccessToken(), QStringLiteral("stored-token"));

    qputenv("TONIVOX_ACCESS_TOKEN", "env-token");
    EXPECT_EQ(currentAccessToken(), QStringLiteral("env-token"));
    qputenv("TONIVOX_ACCESS_TOKEN", "");
    EXPECT_EQ(currentAccessToken(), QStringLiteral("stored-token"));
    qunsetenv("TONIVOX_ACCESS_TOKEN");

    SettingsStore::shared().setAccessToken(QStringLiteral("   "));
    EXPECT_FALSE(currentAccessToken());

    EXPECT_EQ(usableAccessToken(QStringLiteral(" abc.DEF-123_~+/= \n")), QStringLiteral("abc.DEF-123_~+/="));
    for (const QString& unsafe : {QStringLiteral("abc\r\nX-Evil: 1"), QStringLiteral("a b"),
                                  QStringLiteral("tök"), QStringLiteral("a\tb"), QString()})
        EXPECT_FALSE(usableAccessToken(unsafe)) << unsafe.toStdString();
}
