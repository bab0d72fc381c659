#include "service/service_address.h"

namespace service_address {

QUrl resolveBase(const std::optional<QString>& stored)
{
    if (stored) {
        const QUrl url(stored->trimmed(), QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
            !url.host().isEmpty())
            return url;
    }
    return QUrl(QString::fromLatin1(kBuiltInBaseURL));
}

QUrl endpoint(const QUrl& base, const QString& path)
{
    QUrl url = base;
    QString basePath = url.path(QUrl::FullyEncoded);
    while (basePath.endsWith(QLatin1Char('/')))
        basePath.chop(1);
    QString tail = path;
    while (tail.startsWith(QLatin1Char('/')))
        tail.remove(0, 1);
    url.setPath(basePath + QLatin1Char('/') + tail, QUrl::TolerantMode);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

QString lookupQuery(const QString& artist, const QString& title)
{
    const QByteArray query =
        "artist=" + QUrl::toPercentEncoding(artist) + "&title=" + QUrl::toPercentEncoding(title);
    return QString::fromLatin1(query);
}

} // namespace service_address
