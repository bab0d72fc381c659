#include "service/service_transport.h"

#include "core/build_info.h"
#include "core/cancellation.h"
#include "service/access_token.h"

#include <QCoreApplication>
#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QThread>

namespace service_transport {

namespace {

// Owns a reply for the length of one await. The manager may delete its replies first
// (when the application object goes), hence the guarded pointer.
class ReplyGuard {
public:
    explicit ReplyGuard(QNetworkReply* reply) : m_reply(reply) {}
    ~ReplyGuard()
    {
        if (m_reply)
            m_reply->deleteLater();
    }
    ReplyGuard(const ReplyGuard&) = delete;
    ReplyGuard& operator=(const ReplyGuard&) = delete;

private:
    QPointer<QNetworkReply> m_reply;
};

QByteArray appVersionHeader()
{
    const QString version = appShortVersion();
    return version.isEmpty() ? QByteArrayLiteral("0.1.0") : version.toUtf8();
}

// Aborts the reply as soon as it announces or delivers more than kMaxAnswerBytes.
void limitAnswerSize(QNetworkReply* reply, bool* tooLarge)
{
    const auto check = [reply, tooLarge] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const bool announcedTooLarge = length.isValid() && length.toLongLong() > kMaxAnswerBytes;
        if ((announcedTooLarge || reply->bytesAvailable() > kMaxAnswerBytes) && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, check);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, check);
}

HttpAnswer cancelledAnswer()
{
    HttpAnswer answer;
    answer.failure = ServiceError::of(ServiceError::Kind::cancelled, QStringLiteral("request cancelled"));
    return answer;
}

HttpAnswer answerOf(QNetworkReply& reply, bool tooLarge)
{
    HttpAnswer answer;
    const QNetworkReply::NetworkError error = reply.error();
    if (tooLarge) {
        answer.failure =
            ServiceError::server(ServerAPI::Error::badResponse,
                                 QStringLiteral("answer larger than %1 bytes").arg(kMaxAnswerBytes));
    } else if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
        // Only the transfer time-out cancels a request here.
        answer.failure = ServiceError::of(ServiceError::Kind::timedOut, QStringLiteral("request timed out"));
    } else if (error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied) {
        // Network-layer and proxy errors: there is no complete HTTP answer.
        answer.failure = ServiceError::of(ServiceError::Kind::transport, reply.errorString());
    } else {
        const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            answer.failure =
                ServiceError::server(ServerAPI::Error::badResponse, QStringLiteral("not an HTTP answer"));
        } else {
            answer.status = status.toInt();
            answer.body = reply.readAll();
        }
    }
    return answer;
}

QCoro::Task<HttpAnswer> awaitAnswer(QNetworkReply* raw, std::stop_token stop)
{
    const ReplyGuard guard(raw);
    bool tooLarge = false;
    limitAnswerSize(raw, &tooLarge);
    // Aborting makes the reply finish at once, which ends the await below.
    const cancellation::StopGuard onStop(stop, raw, [raw] { raw->abort(); });
    co_await raw;
    if (stop.stop_requested())
        co_return cancelledAnswer();
    co_return answerOf(*raw, tooLarge);
}

} // namespace

QNetworkAccessManager& network()
{
    Q_ASSERT(QCoreApplication::instance() &&
             QThread::currentThread() == QCoreApplication::instance()->thread());
    static QPointer<QNetworkAccessManager> manager;
    if (!manager)
        manager = new QNetworkAccessManager(QCoreApplication::instance());
    return *manager;
}

QNetworkRequest makeRequest(const QUrl& url, Auth auth, bool jsonBody, std::chrono::milliseconds timeout)
{
    QNetworkRequest request(url);
    request.setRawHeader("X-App-Version", appVersionHeader());
    if (auth == Auth::whenHeld) {
        if (const auto token = currentAccessToken())
            request.setRawHeader("Authorization", "Bearer " + token->toLatin1());
    }
    if (jsonBody)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    // The token must never follow a redirect to another origin.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

QCoro::Task<HttpAnswer> get(QNetworkRequest request, std::stop_token stop)
{
    if (stop.stop_requested())
        co_return cancelledAnswer();
    co_return co_await awaitAnswer(network().get(request), stop);
}

QCoro::Task<HttpAnswer> post(QNetworkRequest request, QByteArray body, std::stop_token stop)
{
    if (stop.stop_requested())
        co_return cancelledAnswer();
    co_return co_await awaitAnswer(network().post(request, body), stop);
}

void postAndForget(const QNetworkRequest& request, const QByteArray& body)
{
    QNetworkReply* reply = network().post(request, body);
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}

} // namespace service_transport
