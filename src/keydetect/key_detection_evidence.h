#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

// The evidence behind a locally measured key: the neural detector's shadow verdict, the
// classic detector's verdict that decides, and the window they measured. Its payload is
// merged into key reports.
//
// Thread safety: plain value.
struct KeyDetectionEvidence {
    std::optional<QString> modelKey;
    std::optional<double> modelConfidence; // 0..1
    std::optional<double> modelMargin;     // 0..1
    QString modelVersion = QStringLiteral("keynet_v5_coreml_1");
    std::optional<QString> localV2Key;
    std::optional<double> localV2Fit; // the classic detector's in-key rate, 0..1
    QString agreement;                // "exact", "same_scale", "disagree" or "unknown"
    QString decisionEngine = QStringLiteral("shadow_v2");
    double windowStart_s = 0;
    double windowSeconds = 45.0;

    // The wire entries: the five unconditional ones and each optional one that is present.
    QJsonObject payload() const;

    // "unknown" without both keys, "exact" for equal texts, "same_scale" for the same
    // key or relative keys, else "disagree".
    static QString agreementOf(const std::optional<QString>& v2Key, const std::optional<QString>& modelKey);
};
