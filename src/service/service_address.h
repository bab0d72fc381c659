#pragma once

#include <QString>
#include <QUrl>
#include <optional>

// Where the key library lives, and how endpoint URLs are formed. Pure functions.
namespace service_address {

// The built-in service address; its path "/api/melodrix" is fixed, the host is ours.
inline constexpr char kBuiltInBaseURL[] = "https://keys.tonivox.app/api/melodrix";
// The privacy policy on the same site, linked from the consent window.
inline constexpr char kPrivacyPolicyURL[] = "https://keys.tonivox.app/privacy";

// The stored "serverBaseURL" when it is an absolute http(s) URL with a host, otherwise the
// built-in address.
QUrl resolveBase(const std::optional<QString>& stored);

// The base with an endpoint path ("/v1/key/lookup") appended as path components; a
// trailing slash of the base is not doubled. The base's query and fragment are dropped.
QUrl endpoint(const QUrl& base, const QString& path);

// The lookup query "artist=…&title=…", every byte but the unreserved ones percent-encoded
// (so "&", "=", "+" and spaces inside a value cannot change its meaning).
QString lookupQuery(const QString& artist, const QString& title);

} // namespace service_address
