#include "service/server_api.h"

#include "core/settings_store.h"
#include "service/access_token.h"
#include "service/service_address.h"
#include "service/service_bodies.h"
#include "service/service_transport.h"

#include <QJsonDocument>

namespace ServerAPI {

namespace {

using service_transport::Auth;
using service_transport::HttpAnswer;

constexpr int kStatusOK = 200;
constexpr int kStatusUpgradeRequired = 426;

bool consentGiven()
{
    return SettingsStore::shared().privacyConsent();
}

ServiceError consentMissing()
{
    return ServiceError::of(ServiceError::Kind::consentMissing, QStringLiteral("privacy consent not given"));
}

QUrl endpoint(const char* path)
{
    return service_address::endpoint(service_address::resolveBase(SettingsStore::shared().serverBaseURL()),
                                     QLatin1String(path));
}

QByteArray encoded(const QJsonObject& body)
{
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

ServiceError unexpectedStatus(int status)
{
    return ServiceError::server(Error::badResponse, QStringLiteral("unexpected HTTP status %1").arg(status));
}

// Success only for status 200; the body is not read.
ServiceResult<void> statusOnly(const HttpAnswer& answer)
{
    if (answer.failure)
        return *answer.failure;
    if (answer.status != kStatusOK)
        return unexpectedStatus(answer.status);
    return {};
}

QCoro::Task<ServiceResult<void>> postJson(const char* path, QJsonObject body, std::stop_token stop,
                                          std::chrono::milliseconds timeout)
{
    if (!consentGiven())
        co_return consentMissing();
    const QNetworkRequest request =
        service_transport::makeRequest(endpoint(path), Auth::whenHeld, true, timeout);
    const HttpAnswer answer = co_await service_transport::post(request, encoded(body), stop);
    co_return statusOnly(answer);
}

} // namespace

QCoro::Task<ServiceResult<LookupResult>> lookup(Song song, std::stop_token stop,
                                                std::chrono::milliseconds timeout)
{
    if (!consentGiven())
        co_return consentMissing();
    QUrl url = endpoint("/v1/key/lookup");
    url.setQuery(service_address::lookupQuery(song.artist, song.title), QUrl::StrictMode);
    const QNetworkRequest request = service_transport::makeRequest(url, Auth::whenHeld, false, timeout);
    const HttpAnswer answer = co_await service_transport::get(request, stop);
    if (answer.failure)
        co_return *answer.failure;
    if (answer.status == kStatusUpgradeRequired)
        co_return ServiceError::server(Error::upgradeRequired, QStringLiteral("application version refused"));
    if (answer.status != kStatusOK)
        co_return unexpectedStatus(answer.status);
    co_return LookupResult::decode(answer.body);
}

QCoro::Task<ServiceResult<void>> feedback(QString artist, QString title, std::optional<QString> key,
                                          std::optional<QString> source, std::optional<QString> prevKey,
                                          std::stop_token stop, std::chrono::milliseconds timeout)
{
    QJsonObject body = service_bodies::feedback(artist, title, key, source, prevKey);
    co_return co_await postJson("/v1/key/feedback", std::move(body), stop, timeout);
}

QCoro::Task<ServiceResult<AppVersion>> appVersion(std::stop_token stop, std::chrono::milliseconds timeout)
{
    const QNetworkRequest request =
        service_transport::makeRequest(endpoint("/v1/app/version"), Auth::never, false, timeout);
    const HttpAnswer answer = co_await service_transport::get(request, stop);
    if (answer.failure)
        co_return *answer.failure;
    if (answer.status != kStatusOK)
        co_return unexpectedStatus(answer.status);
    co_return AppVersion::decode(answer.body);
}

void reportPlaySeconds(const QString& artist, const QString& title, double seconds, const QString& source,
                       const QString& playerDiag)
{
    if (!consentGiven() || !currentAccessToken())
        return;
    const auto body = service_bodies::playSeconds(artist, title, seconds, source, playerDiag);
    if (!body)
        return;
    service_transport::postAndForget(
        service_transport::makeRequest(endpoint("/v1/play/duration"), Auth::whenHeld, true, kTransferTimeout),
        encoded(*body));
}

QCoro::Task<ServiceResult<void>> postKeyReport(QJsonObject body, std::stop_token stop,
                                               std::chrono::milliseconds timeout)
{
    co_return co_await postJson("/v1/key/report", std::move(body), stop, timeout);
}

} // namespace ServerAPI
