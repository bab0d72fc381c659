#include "service/service_records.h"

#include <gtest/gtest.h>

TEST(LookupResultDecode, OptionalFieldsTolerateMissingAndNullUnknownKeysAreIgnored)
{
    const auto minimal = LookupResult::decode(R"({"found": true, "key": "A 小调"})");
    ASSERT_TRUE(minimal.ok()) << minimal.error().message.toStdString();
    EXPECT_EQ(minimal.value().key, QStringLiteral("A 小调"));
    EXPECT_FALSE(minimal.value().display_key || minimal.value().artist || minimal.value().title ||
                 minimal.value().review_status || minimal.value().confidence ||
                 minimal.value().low_confidence || minimal.value().matched_by);

    const auto full = LookupResult::decode(R"({"found": true, "key": "C 大调", "display_key": null,
        "confidence": 1, "low_confidence": false, "matched_by": "variant", "extra": {"nested": [1, 2]}})");
    ASSERT_TRUE(full.ok()) << full.error().message.toStdString();
    EXPECT_FALSE(full.value().display_key);
    EXPECT_EQ(full.value().confidence, 1.0);
    EXPECT_EQ(full.value().low_confidence, false);
    EXPECT_EQ(full.value().matched_by, QStringLiteral("variant"));

    const auto notFound = LookupResult::decode(R"({"found": false, "key": null})");
    ASSERT_TRUE(notFound.ok());
    EXPECT_FALSE(notFound.value().found || notFound.value().key);

    const auto version = AppVersion::decode(R"({"version": "1.0", "url": "u", "min_version": null, "x": 1})");
    ASSERT_TRUE(version.ok());
    EXPECT_EQ(version.value().version, QStringLiteral("1.0"));
    EXPECT_FALSE(version.value().min_version || version.value().notes);
}

TEST(LookupResultDecode, HostileBodiesAreDecodingErrors)
{
    const char* lookups[] = {
        "",
        "<html>502 Bad Gateway</html>",
        R"({"found": true, "key": "C 大调")", // truncated
        "[]",
        "null",
        "true",
        R"("found")",
        "{}",                   // required field missing
        R"({"found": null})",   // required field null
        R"({"found": "true"})", // wrong type
        R"({"found": 1})",      // a number is not a truth value
        R"({"found": true, "key": 5})",
        R"({"found": true, "confidence": "high"})",
        R"({"found": true, "low_confidence": 0})",
        R"({"found": true, "matched_by": ["exact"]})",
        "\xff\xfe{\"found\":true}", // not UTF-8
    };
    const auto kind = [](const auto& r) { return r.ok() ? ServiceError::Kind::server : r.error().kind; };
    for (const char* body : lookups)
        EXPECT_EQ(kind(LookupResult::decode(QByteArray(body))), ServiceError::Kind::decoding) << body;
    // Deep nesting is refused by the parser rather than overflowing the stack.
    const QByteArray deep =
        "{\"found\":true,\"x\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}";
    EXPECT_EQ(kind(LookupResult::decode(deep)), ServiceError::Kind::decoding);

    for (const char* body : {R"({"version": "1.0"})", R"({"url": "u"})", R"({"version": 1.0, "url": "u"})",
                             R"({"version": "1.0", "url": "u", "notes": 3})", "not json"})
        EXPECT_EQ(kind(AppVersion::decode(QByteArray(body))), ServiceError::Kind::decoding) << body;
}
