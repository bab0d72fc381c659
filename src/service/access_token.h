#pragma once

#include <QString>
#include <optional>

// The key-library access token: the environment variable TONIVOX_ACCESS_TOKEN when set
// and not empty, else the settings key "accessToken". A token that is empty or holds
// anything but visible ASCII (it would break or inject into the header line) counts as
// none. The value is a secret: never log it, show it or put it in a report.
//
// Thread safety: main thread only (reads the shared settings store).
std::optional<QString> currentAccessToken();

// The rule applied to one candidate text (pure; exposed for the tests).
std::optional<QString> usableAccessToken(const QString& candidate);
