#pragma once

#include <QString>
#include <utility>
#include <variant>

namespace ServerAPI {
// The service's own refusals. Transport, time-out, decoding and consent failures are
// kinds of ServiceError beside these, so that callers can tell them apart.
enum class Error {
    upgradeRequired, // HTTP 426: the service no longer serves this application version
    badResponse,     // not an HTTP answer, or not the status expected
};
} // namespace ServerAPI

// Why a service call failed. `message` is an English text for logs; it never holds the
// access token.
struct ServiceError {
    enum class Kind {
        server,         // the service answered with a refusal: see `serverError`
        transport,      // no connection, refused, reset, or another network failure
        timedOut,       // no data arrived within the transfer time-out
        decoding,       // a 200 answer whose body is not the JSON record expected
        consentMissing, // nothing was sent: privacy consent has not been given
        cancelled,      // the caller requested stop; the request was aborted or never sent
    };

    Kind kind = Kind::transport;
    ServerAPI::Error serverError = ServerAPI::Error::badResponse; // only for Kind::server
    QString message;

    static ServiceError server(ServerAPI::Error error, QString message)
    {
        return {Kind::server, error, std::move(message)};
    }
    static ServiceError of(Kind kind, QString message)
    {
        return {kind, ServerAPI::Error::badResponse, std::move(message)};
    }
    bool is(ServerAPI::Error error) const { return kind == Kind::server && serverError == error; }
};

// A value or the reason there is none (std::expected is not available to us yet).
template <typename T> class ServiceResult {
public:
    ServiceResult(T value) : m_state(std::move(value)) {}
    ServiceResult(ServiceError error) : m_state(std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    const T& value() const { return std::get<0>(m_state); }
    // Only when !ok().
    const ServiceError& error() const { return std::get<1>(m_state); }

private:
    std::variant<T, ServiceError> m_state;
};

template <> class ServiceResult<void> {
public:
    ServiceResult() = default;
    ServiceResult(ServiceError error) : m_error(std::move(error)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    // Only when !ok().
    const ServiceError& error() const { return m_error; }

private:
    ServiceError m_error;
    bool m_failed = false;
};
