#pragma once

#include "service/service_result.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The key library's answer to a lookup. Required fields must be present with their JSON
// type; optional ones may be missing or null; unknown keys are ignored.
struct LookupResult {
    bool found = false;
    std::optional<QString> key;           // note name, a space, 大调 or 小调
    std::optional<QString> display_key;   // not used by the client
    std::optional<QString> artist;        // the service's artist for the match
    std::optional<QString> title;         // the service's title for the match
    std::optional<QString> review_status; // "fallback" and "disputed" mark a doubtful key
    std::optional<double> confidence;
    std::optional<bool> low_confidence;
    std::optional<QString> matched_by; // "exact", "variant", "variant_cross", "cloud", ...

    // Kind::decoding when the bytes are not a JSON object of this shape.
    static ServiceResult<LookupResult> decode(const QByteArray& json);
};

// The newest application version the service announces.
struct AppVersion {
    QString version; // dotted numbers
    std::optional<QString> min_version;
    QString url;
    std::optional<QString> notes;

    static ServiceResult<AppVersion> decode(const QByteArray& json);
};
