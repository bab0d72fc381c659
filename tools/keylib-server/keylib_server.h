#pragma once

#include "key_library.h"
#include "request_log.h"
#include "server_options.h"

#include <QByteArray>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

// The key-library endpoints over cpp-httplib. Every route accepts any path prefix before
// "/v1/...", so a client's base address may carry a path of its own.
//
// Thread safety: handlers run on the HTTP library's worker threads; stop() may be called
// from any thread.
class KeylibServer {
public:
    enum class Endpoint { lookup, feedback, report, playDuration, appVersion, unknown };

    KeylibServer(ServerOptions options, KeyLibrary& library, RequestLog& log,
                 std::optional<QByteArray> answerBody);
    ~KeylibServer();

    // Binds the listening socket; the port actually bound, or nothing on failure.
    std::optional<int> bind();
    // Serves until stop(); false when the server could not run.
    bool run();
    // Ends run() and wakes every delayed answer at once.
    void stop();

private:
    void handle(Endpoint endpoint, const httplib::Request& request, httplib::Response& response);
    void answer(Endpoint endpoint, const httplib::Request& request, httplib::Response& response,
                const QString& auth);
    // Waits out --delay-ms; true when a shutdown cut the wait short.
    bool waitDelay();

    ServerOptions m_options;
    KeyLibrary& m_library;
    RequestLog& m_log;
    std::optional<QByteArray> m_answerBody;
    std::unique_ptr<httplib::Server> m_http;
    std::mutex m_stopMutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
};
