#include "service/service_records.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

namespace {

ServiceError decodingError(const QString& what)
{
    return ServiceError::of(ServiceError::Kind::decoding, what);
}

// Reads the fields of one JSON object; the first problem is kept and later reads are
// skipped, so a decoder reads as a plain list of fields.
class FieldReader {
public:
    explicit FieldReader(QJsonObject object) : m_object(std::move(object)) {}

    QString requiredText(const char* name) { return required(name, QJsonValue::String).toString(); }
    bool requiredBool(const char* name) { return required(name, QJsonValue::Bool).toBool(); }

    std::optional<QString> optionalText(const char* name)
    {
        const auto v = optional(name, QJsonValue::String);
        return v ? std::optional<QString>(v->toString()) : std::nullopt;
    }
    std::optional<double> optionalNumber(const char* name)
    {
        const auto v = optional(name, QJsonValue::Double);
        return v ? std::optional<double>(v->toDouble()) : std::nullopt;
    }
    std::optional<bool> optionalBool(const char* name)
    {
        const auto v = optional(name, QJsonValue::Bool);
        return v ? std::optional<bool>(v->toBool()) : std::nullopt;
    }

    const std::optional<ServiceError>& problem() const { return m_problem; }

private:
    QJsonValue required(const char* name, QJsonValue::Type type)
    {
        if (m_problem)
            return {};
        const QJsonValue v = m_object.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull())
            m_problem =
                decodingError(QStringLiteral("missing required field \"%1\"").arg(QLatin1String(name)));
        else if (v.type() != type)
            m_problem =
                decodingError(QStringLiteral("field \"%1\" has the wrong type").arg(QLatin1String(name)));
        return v;
    }

    std::optional<QJsonValue> optional(const char* name, QJsonValue::Type type)
    {
        if (m_problem)
            return std::nullopt;
        const QJsonValue v = m_object.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull())
            return std::nullopt;
        if (v.type() != type) {
            m_problem =
                decodingError(QStringLiteral("field \"%1\" has the wrong type").arg(QLatin1String(name)));
            return std::nullopt;
        }
        return v;
    }

    QJsonObject m_object;
    std::optional<ServiceError> m_problem;
};

ServiceResult<QJsonObject> parseObject(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return decodingError(QStringLiteral("answer is not JSON: %1").arg(error.errorString()));
    if (!doc.isObject())
        return decodingError(QStringLiteral("answer is not a JSON object"));
    return doc.object();
}

} // namespace

ServiceResult<LookupResult> LookupResult::decode(const QByteArray& json)
{
    const auto object = parseObject(json);
    if (!object)
        return object.error();
    FieldReader in(object.value());
    LookupResult out;
    out.found = in.requiredBool("found");
    out.key = in.optionalText("key");
    out.display_key = in.optionalText("display_key");
    out.artist = in.optionalText("artist");
    out.title = in.optionalText("title");
    out.review_status = in.optionalText("review_status");
    out.confidence = in.optionalNumber("confidence");
    out.low_confidence = in.optionalBool("low_confidence");
    out.matched_by = in.optionalText("matched_by");
    if (in.problem())
        return *in.problem();
    return out;
}

ServiceResult<AppVersion> AppVersion::decode(const QByteArray& json)
{
    const auto object = parseObject(json);
    if (!object)
        return object.error();
    FieldReader in(object.value());
    AppVersion out;
    out.version = in.requiredText("version");
    out.min_version = in.optionalText("min_version");
    out.url = in.requiredText("url");
    out.notes = in.optionalText("notes");
    if (in.problem())
        return *in.problem();
    return out;
}
