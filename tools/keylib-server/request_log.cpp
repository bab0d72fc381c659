#include "request_log.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString redactedAuthorization(const QString& value)
{
    const qsizetype space = value.indexOf(QLatin1Char(' '));
    const QString scheme = space > 0 ? value.left(space) : QString();
    return scheme.isEmpty() ? QStringLiteral("[redacted]") : scheme + QStringLiteral(" [redacted]");
}

} // namespace

QByteArray requestLogLine(const RequestRecord& record)
{
    QJsonObject query;
    for (const auto& [name, value] : record.query)
        query.insert(name, value);
    QJsonObject headers;
    for (const auto& [name, value] : record.headers) {
        const bool secret = name.compare(QLatin1String("Authorization"), Qt::CaseInsensitive) == 0;
        headers.insert(name, secret ? redactedAuthorization(value) : value);
    }
    const QJsonObject line{
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("method"), record.method},
        {QStringLiteral("path"), record.path},
        {QStringLiteral("raw_query"), record.rawQuery},
        {QStringLiteral("query"), query},
        {QStringLiteral("headers"), headers},
        {QStringLiteral("auth"), record.auth},
        {QStringLiteral("body"), QString::fromUtf8(record.body)},
        {QStringLiteral("status"), record.status},
    };
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

bool RequestLog::open(const QString* path)
{
    if (!path) {
        m_file = stderr;
        return true;
    }
    m_file = std::fopen(path->toLocal8Bit().constData(), "a");
    m_owned = m_file != nullptr;
    return m_file != nullptr;
}

RequestLog::~RequestLog()
{
    if (m_owned)
        std::fclose(m_file);
}

void RequestLog::append(const RequestRecord& record)
{
    const QByteArray line = requestLogLine(record);
    const std::lock_guard lock(m_mutex);
    if (!m_file)
        return;
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_file);
    std::fflush(m_file);
}
