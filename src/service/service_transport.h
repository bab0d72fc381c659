#pragma once

#include "service/service_result.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QNetworkRequest>
#include <QUrl>
#include <chrono>
#include <optional>
#include <stop_token>

class QNetworkAccessManager;

// The HTTP plumbing under ServerAPI: one QNetworkAccessManager on the main thread, the
// common headers, and awaiting a reply without blocking the event loop.
//
// Thread safety: main thread only.
namespace service_transport {

// A key-library answer is a few hundred bytes; anything past this is refused rather than
// buffered.
inline constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

struct HttpAnswer {
    int status = 0; // the HTTP status; meaningful only without failure
    QByteArray body;
    std::optional<ServiceError> failure; // transport, time-out, oversize, or not HTTP
};

enum class Auth {
    whenHeld, // "Authorization: Bearer …" when an access token is held
    never,
};

// The shared manager, created on first use and owned by the application object.
QNetworkAccessManager& network();

// A request with "X-App-Version", the bearer token per `auth`, "Content-Type:
// application/json" when `jsonBody`, and the transfer time-out (no data for that long).
QNetworkRequest makeRequest(const QUrl& url, Auth auth, bool jsonBody, std::chrono::milliseconds timeout);

// A stop request aborts the reply at once (or sends nothing when it came first) and the
// answer fails with Kind::cancelled.
QCoro::Task<HttpAnswer> get(QNetworkRequest request, std::stop_token stop = {});
QCoro::Task<HttpAnswer> post(QNetworkRequest request, QByteArray body, std::stop_token stop = {});

// Starts a POST and forgets it: the reply is discarded unread when it finishes.
void postAndForget(const QNetworkRequest& request, const QByteArray& body);

} // namespace service_transport
