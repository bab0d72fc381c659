#include "service/service_records.h"

#include <gtest/gtest.h>

namespace {

ServiceError::Kind failureKind(const ServiceResult<LookupResult>& r)
{
    return r.ok() ? ServiceError::Kind::server : r.error().kind;
}

} // namespace

TEST(LookupResultDecode, MinimalAnswerLeavesEveryOptionalFieldAbsent)
{
    const auto r = LookupResult::decode(R"({"found": true, "key": "A 小调"})");
    ASSERT_TRUE(r.ok()) << r.error().message.toStdString();
    EXPECT_TRUE(r.value().found);
    EXPECT_EQ(r.value().key, QStringLiteral("A 小调"));
    EXPECT_FALSE(r.value().display_key || r.value().artist || r.value().title || r.value().review_status ||
                 r.value().confidence || r.value().low_confidence || r.value().matched_by);
}

TEST(LookupResultDecode, FullAnswerWithNullsAndUnknownKeys)
{
    const auto r = LookupResult::decode(R"({"found": true, "key": "C 大调", "display_key": null,
        "artist": "周杰伦", "title": "晴天", "review_status": "disputed", "confidence": 1,
        "low_confidence": false, "matched_by": "variant", "extra": {"nested": [1, 2]}})");
    ASSERT_TRUE(r.ok()) << r.error().message.toStdString();
    EXPECT_FALSE(r.value().display_key);
    EXPECT_EQ(r.value().artist, QStringLiteral("周杰伦"));
    EXPECT_EQ(r.value().review_status, QStringLiteral("disputed"));
    EXPECT_EQ(r.value().confidence, 1.0);
    EXPECT_EQ(r.value().low_confidence, false);
    EXPECT_EQ(r.value().matched_by, QStringLiteral("variant"));

    const auto notFound = LookupResult::decode(R"({"found": false, "key": null})");
    ASSERT_TRUE(notFound.ok());
    EXPECT_FALSE(notFound.value().found);
    EXPECT_FALSE(notFound.value().key);
}

TEST(LookupResultDecode, HostileBodiesAreDecodingErrors)
{
    const char* hostile[] = {
        "",
        "<html>502 Bad Gateway</html>",
        R"({"found": true, "key": "C 大调")", // truncated
        "[]",
        "null",
        "true",
        R"("found")",
        "{}",                                       // required field missing
        R"({"found": null})",                       // required field null
        R"({"found": "true"})",                     // wrong type
        R"({"found": 1})",                          // a number is not a truth value
        R"({"found": true, "key": 5})",             // optional field of the wrong type
        R"({"found": true, "confidence": "high"})", //
        R"({"found": true, "low_confidence": 0})",  //
        R"({"found": true, "matched_by": ["exact"]})",
        "\xff\xfe{\"found\":true}", // not UTF-8
    };
    for (const char* body : hostile) {
        const auto r = LookupResult::decode(QByteArray(body));
        EXPECT_EQ(failureKind(r), ServiceError::Kind::decoding) << body;
    }
    // Deep nesting is refused by the parser rather than overflowing the stack.
    const QByteArray deep =
        "{\"found\":true,\"x\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}";
    EXPECT_EQ(failureKind(LookupResult::decode(deep)), ServiceError::Kind::decoding);
}

TEST(AppVersionDecode, RequiredAndOptionalFields)
{
    const auto full = AppVersion::decode(
        R"({"version": "0.3.1", "min_version": "0.2.0", "url": "https://example.org/t", "notes": "修复", "x": 1})");
    ASSERT_TRUE(full.ok()) << full.error().message.toStdString();
    EXPECT_EQ(full.value().version, QStringLiteral("0.3.1"));
    EXPECT_EQ(full.value().min_version, QStringLiteral("0.2.0"));
    EXPECT_EQ(full.value().url, QStringLiteral("https://example.org/t"));
    EXPECT_EQ(full.value().notes, QStringLiteral("修复"));

    const auto minimal = AppVersion::decode(R"({"version": "1.0", "url": "u", "min_version": null})");
    ASSERT_TRUE(minimal.ok());
    EXPECT_FALSE(minimal.value().min_version);
    EXPECT_FALSE(minimal.value().notes);

    for (const char* body : {R"({"version": "1.0"})", R"({"url": "u"})", R"({"version": 1.0, "url": "u"})",
                             R"({"version": "1.0", "url": "u", "notes": 3})", "not json"}) {
        const auto r = AppVersion::decode(QByteArray(body));
        ASSERT_FALSE(r.ok()) << body;
        EXPECT_EQ(r.error().kind, ServiceError::Kind::decoding) << body;
    }
}
