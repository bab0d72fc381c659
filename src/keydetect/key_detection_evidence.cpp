#include "keydetect/key_detection_evidence.h"

#include "keydetect/v5/key_detector_v5.h"

QJsonObject KeyDetectionEvidence::payload() const
{
    QJsonObject out;
    if (modelKey)
        out.insert(QStringLiteral("model_key"), *modelKey);
    if (modelConfidence)
        out.insert(QStringLiteral("model_confidence"), *modelConfidence);
    if (modelMargin)
        out.insert(QStringLiteral("model_margin"), *modelMargin);
    out.insert(QStringLiteral("model_version"), modelVersion);
    if (localV2Key)
        out.insert(QStringLiteral("local_v2_key"), *localV2Key);
    if (localV2Fit)
        out.insert(QStringLiteral("local_v2_fit"), *localV2Fit);
    out.insert(QStringLiteral("agreement"), agreement);
    out.insert(QStringLiteral("decision_engine"), decisionEngine);
    out.insert(QStringLiteral("window_start"), windowStart_s);
    out.insert(QStringLiteral("window_seconds"), windowSeconds);
    return out;
}

QString KeyDetectionEvidence::agreementOf(const std::optional<QString>& v2Key,
                                          const std::optional<QString>& modelKey)
{
    if (!v2Key || !modelKey)
        return QStringLiteral("unknown");
    if (*v2Key == *modelKey)
        return QStringLiteral("exact");
    if (KeyDetectorV5::sameScale(*v2Key, *modelKey))
        return QStringLiteral("same_scale");
    return QStringLiteral("disagree");
}
