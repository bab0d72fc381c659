#include "keylib_server.h"

#include "dotted_version.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <cstdio>
#include <httplib.h>
#include <sys/socket.h>

namespace {

using Endpoint = KeylibServer::Endpoint;

constexpr size_t kMaxRequestBytes = 1024 * 1024;

QString qs(const std::string& s)
{
    return QString::fromStdString(s);
}

void setJson(httplib::Response& response, int status, const QJsonObject& body)
{
    response.status = status;
    response.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(),
                         "application/json");
}

void setError(httplib::Response& response, int status, const QString& message)
{
    setJson(response, status, QJsonObject{{QStringLiteral("error"), message}});
}

// "none", "bearer" (any token; none configured), "valid" or "invalid".
QString authState(const httplib::Request& request, const std::optional<QString>& expected)
{
    if (!request.has_header("Authorization"))
        return QStringLiteral("none");
    const QString value = qs(request.get_header_value("Authorization"));
    if (!value.startsWith(QLatin1String("Bearer ")) || value.size() <= 7)
        return QStringLiteral("invalid");
    if (!expected)
        return QStringLiteral("bearer");
    return value.mid(7) == *expected ? QStringLiteral("valid") : QStringLiteral("invalid");
}

std::optional<QJsonObject> jsonObject(const std::string& body)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

std::optional<QString> optionalText(const QJsonObject& o, const char* name)
{
    const QJsonValue v = o.value(QLatin1String(name));
    return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
}

bool hasTexts(const QJsonObject& o, std::initializer_list<const char*> names)
{
    return std::all_of(names.begin(), names.end(),
                       [&](const char* n) { return o.value(QLatin1String(n)).isString(); });
}

QJsonObject lookupAnswer(const std::optional<LookupHit>& hit)
{
    if (!hit)
        return QJsonObject{{QStringLiteral("found"), false}};
    const SongEntry& song = hit->song;
    QJsonObject out{{QStringLiteral("found"), true},
                    {QStringLiteral("key"), song.key},
                    {QStringLiteral("artist"), song.artist},
                    {QStringLiteral("title"), song.title},
                    {QStringLiteral("matched_by"), hit->matchedBy}};
    out.insert(QStringLiteral("display_key"),
               song.displayKey ? QJsonValue(*song.displayKey) : QJsonValue(song.key));
    if (song.reviewStatus)
        out.insert(QStringLiteral("review_status"), *song.reviewStatus);
    if (song.confidence)
        out.insert(QStringLiteral("confidence"), *song.confidence);
    if (song.lowConfidence)
        out.insert(QStringLiteral("low_confidence"), *song.lowConfidence);
    return out;
}

// Replaces the body by a provider that sends the first half and then breaks off.
void cutBody(httplib::Response& response)
{
    std::string full = response.body;
    if (full.size() < 2)
        full.resize(64, ' ');
    const size_t half = full.size() / 2;
    const std::string type = response.get_header_value("Content-Type");
    response.body.clear();
    response.set_content_provider(full.size(), type.empty() ? "application/json" : type,
                                  [full, half](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (offset >= half)
                                          return false;
                                      sink.write(full.data() + offset, std::min(length, half - offset));
                                      return true;
                                  });
}

RequestRecord recordOf(const httplib::Request& request, const QString& auth, int status)
{
    RequestRecord record;
    record.method = qs(request.method);
    record.path = qs(request.path);
    const size_t question = request.target.find('?');
    if (question != std::string::npos)
        record.rawQuery = qs(request.target.substr(question + 1));
    // Decoded from the query alone (the library also files form bodies among its params).
    for (const auto& [name, value] : QUrlQuery(record.rawQuery).queryItems(QUrl::FullyDecoded))
        record.query.append({name, value});
    // The library files the peer's addresses among the headers; they were not sent.
    for (const auto& [name, value] : request.headers) {
        if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT")
            record.headers.append({qs(name), qs(value)});
    }
    record.body = QByteArray::fromStdString(request.body);
    record.auth = auth;
    record.status = status;
    return record;
}

} // namespace

KeylibServer::KeylibServer(ServerOptions options, KeyLibrary& library, RequestLog& log,
                           std::optional<QByteArray> answerBody)
    : m_options(std::move(options)), m_library(library), m_log(log), m_answerBody(std::move(answerBody)),
      m_http(std::make_unique<httplib::Server>())
{
    m_http->set_payload_max_length(kMaxRequestBytes);
    // Idle keep-alive connections hold up a shutdown for this long.
    m_http->set_keep_alive_timeout(1);
    if (m_options.cutBody) {
        // Linger 0: closing the socket sends a reset instead of an orderly end.
        m_http->set_socket_options([](socket_t socket) {
            const linger abortive{1, 0};
            setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        });
    }
    const auto route = [this](Endpoint endpoint) {
        return [this, endpoint](const httplib::Request& request, httplib::Response& response) {
            handle(endpoint, request, response);
        };
    };
    m_http->Get(R"((.*)/v1/key/lookup)", route(Endpoint::lookup));
    m_http->Post(R"((.*)/v1/key/feedback)", route(Endpoint::feedback));
    m_http->Post(R"((.*)/v1/key/report)", route(Endpoint::report));
    m_http->Post(R"((.*)/v1/play/duration)", route(Endpoint::playDuration));
    m_http->Get(R"((.*)/v1/app/version)", route(Endpoint::appVersion));
    m_http->Get(R"(.*)", route(Endpoint::unknown));
    m_http->Post(R"(.*)", route(Endpoint::unknown));
}

KeylibServer::~KeylibServer() = default;

std::optional<int> KeylibServer::bind()
{
    const std::string host = m_options.host.toStdString();
    if (m_options.port == 0) {
        const int port = m_http->bind_to_any_port(host);
        return port > 0 ? std::optional<int>(port) : std::nullopt;
    }
    return m_http->bind_to_port(host, m_options.port) ? std::optional<int>(m_options.port) : std::nullopt;
}

bool KeylibServer::run()
{
    return m_http->listen_after_bind();
}

void KeylibServer::stop()
{
    {
        const std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    m_http->stop();
}

bool KeylibServer::waitDelay()
{
    if (m_options.delay.count() <= 0)
        return false;
    // Announced, so a client can tell that its request is being held.
    std::fprintf(stderr, "delaying an answer by %lld ms\n", static_cast<long long>(m_options.delay.count()));
    std::fflush(stderr);
    std::unique_lock lock(m_stopMutex);
    return m_stopped.wait_for(lock, m_options.delay, [this] { return m_stopping; });
}

void KeylibServer::handle(Endpoint endpoint, const httplib::Request& request, httplib::Response& response)
{
    if (waitDelay()) {
        setError(response, 503, QStringLiteral("server shutting down"));
        return;
    }
    const QString auth = authState(request, m_options.token);
    const QString appVersion = qs(request.get_header_value("X-App-Version"));
    if (m_options.failStatus) {
        setError(response, *m_options.failStatus, QStringLiteral("failure injected by --fail"));
    } else if (endpoint != Endpoint::appVersion && m_options.minVersion &&
               compareDottedVersions(appVersion, *m_options.minVersion) < 0) {
        setJson(response, 426,
                QJsonObject{{QStringLiteral("error"), QStringLiteral("upgrade required")},
                            {QStringLiteral("min_version"), *m_options.minVersion}});
    } else if (m_answerBody) {
        response.status = 200;
        response.set_content(m_answerBody->toStdString(), "application/json");
    } else {
        answer(endpoint, request, response, auth);
    }
    const int status = response.status;
    if (m_options.cutBody)
        cutBody(response);
    m_log.append(recordOf(request, auth, status));
}

void KeylibServer::answer(Endpoint endpoint, const httplib::Request& request, httplib::Response& response,
                          const QString& auth)
{
    const QJsonObject accepted{{QStringLiteral("ok"), true}};
    switch (endpoint) {
    case Endpoint::lookup: {
        if (!request.has_param("artist") || !request.has_param("title"))
            return setError(response, 400, QStringLiteral("artist and title are required"));
        const auto hit =
            m_library.lookup(qs(request.get_param_value("artist")), qs(request.get_param_value("title")));
        return setJson(response, 200, lookupAnswer(hit));
    }
    case Endpoint::feedback: {
        const auto body = jsonObject(request.body);
        if (!body || !hasTexts(*body, {"artist", "title"}))
            return setError(response, 400, QStringLiteral("a JSON object with artist and title is required"));
        if (!m_library.addFeedback(body->value(QLatin1String("artist")).toString(),
                                   body->value(QLatin1String("title")).toString(), optionalText(*body, "key"),
                                   optionalText(*body, "source"), optionalText(*body, "prev_key")))
            return setError(response, 500, QStringLiteral("cannot store feedback"));
        return setJson(response, 200, accepted);
    }
    case Endpoint::report: {
        const auto body = jsonObject(request.body);
        if (!body || !hasTexts(*body, {"artist", "title", "key"}))
            return setError(response, 400,
                            QStringLiteral("a JSON object with artist, title and key is required"));
        if (!m_library.addReport(body->value(QLatin1String("artist")).toString(),
                                 body->value(QLatin1String("title")).toString(),
                                 body->value(QLatin1String("key")).toString(),
                                 QByteArray::fromStdString(request.body)))
            return setError(response, 500, QStringLiteral("cannot store report"));
        return setJson(response, 200, accepted);
    }
    case Endpoint::playDuration: {
        if (auth != QLatin1String("bearer") && auth != QLatin1String("valid"))
            return setError(response, 401, QStringLiteral("a bearer token is required"));
        const auto body = jsonObject(request.body);
        if (!body || !hasTexts(*body, {"artist", "title"}) ||
            !body->value(QLatin1String("seconds")).isDouble())
            return setError(response, 400,
                            QStringLiteral("a JSON object with artist, title and seconds is required"));
        if (!m_library.addPlayDuration(body->value(QLatin1String("artist")).toString(),
                                       body->value(QLatin1String("title")).toString(),
                                       body->value(QLatin1String("seconds")).toDouble(),
                                       optionalText(*body, "source"), optionalText(*body, "player_diag")))
            return setError(response, 500, QStringLiteral("cannot store listening time"));
        return setJson(response, 200, accepted);
    }
    case Endpoint::appVersion: {
        if (!m_options.latestVersion)
            return setError(response, 404, QStringLiteral("no release announced"));
        QJsonObject out{{QStringLiteral("version"), *m_options.latestVersion},
                        {QStringLiteral("url"), m_options.latestURL}};
        if (m_options.minVersion)
            out.insert(QStringLiteral("min_version"), *m_options.minVersion);
        if (m_options.latestNotes)
            out.insert(QStringLiteral("notes"), *m_options.latestNotes);
        return setJson(response, 200, out);
    }
    case Endpoint::unknown:
        return setError(response, 404, QStringLiteral("no such endpoint"));
    }
}
