#pragma once

#include "core/song.h"
#include "service/service_records.h"
#include "service/service_result.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QString>
#include <chrono>
#include <optional>
#include <stop_token>

// The key library service client: static operations, no state of their own. Each call
// builds one request against the base address ("serverBaseURL" or the built-in one),
// sends it through the shared QNetworkAccessManager and checks the status. Nothing is
// retried. Without privacy consent nothing is sent except the version check.
//
// Thread safety: main thread only. The coroutines suspend while a request runs and never
// block the event loop. `timeout` is the transfer time-out: a request fails with
// Kind::timedOut when no data arrives for that long. A stop request on `stop` aborts the
// request at once and the call fails with Kind::cancelled.
namespace ServerAPI {

inline constexpr std::chrono::milliseconds kTransferTimeout{60'000};

// GET "/v1/key/lookup?artist=…&title=…". 200 → the decoded record (or Kind::decoding);
// 426 → upgradeRequired; any other status → badResponse.
QCoro::Task<ServiceResult<LookupResult>> lookup(Song song, std::stop_token stop = {},
                                                std::chrono::milliseconds timeout = kTransferTimeout);

// POST "/v1/key/feedback". 200 is success; anything else badResponse. The answer is not read.
QCoro::Task<ServiceResult<void>> feedback(QString artist, QString title, std::optional<QString> key,
                                          std::optional<QString> source, std::optional<QString> prevKey,
                                          std::stop_token stop = {},
                                          std::chrono::milliseconds timeout = kTransferTimeout);

// GET "/v1/app/version", with no consent rule and no token. 200 → the decoded record.
QCoro::Task<ServiceResult<AppVersion>> appVersion(std::stop_token stop = {},
                                                  std::chrono::milliseconds timeout = kTransferTimeout);

// POST "/v1/play/duration", fire and forget: returns at once and never reports failure.
// Sends nothing without consent, without an access token, or when `seconds` is outside
// 3 ... 3600 (both sent).
void reportPlaySeconds(const QString& artist, const QString& title, double seconds, const QString& source,
                       const QString& playerDiag);

// POST "/v1/key/report" with a body built by the caller. 200 is success; anything else
// badResponse. Kind::consentMissing without sending when consent is missing.
QCoro::Task<ServiceResult<void>> postKeyReport(QJsonObject body, std::stop_token stop = {},
                                               std::chrono::milliseconds timeout = kTransferTimeout);

} // namespace ServerAPI
