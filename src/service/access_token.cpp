#include "service/access_token.h"

#include "core/settings_store.h"

#include <QtGlobal>
#include <algorithm>

std::optional<QString> usableAccessToken(const QString& candidate)
{
    const QString token = candidate.trimmed();
    if (token.isEmpty())
        return std::nullopt;
    const bool visibleAscii = std::all_of(token.cbegin(), token.cend(),
                                          [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7f; });
    if (!visibleAscii)
        return std::nullopt;
    return token;
}

std::optional<QString> currentAccessToken()
{
    if (const auto fromEnvironment = usableAccessToken(qEnvironmentVariable("TONIVOX_ACCESS_TOKEN")))
        return fromEnvironment;
    if (const auto stored = SettingsStore::shared().accessToken())
        return usableAccessToken(*stored);
    return std::nullopt;
}
