#include "players/player_source.h"

namespace player_source {

QString rawValue(PlayerSource source)
{
    switch (source) {
    case PlayerSource::kugou:
        return QStringLiteral("酷狗");
    case PlayerSource::qqmusic:
        return QStringLiteral("QQ音乐");
    case PlayerSource::netease:
        return QStringLiteral("网易云");
    }
    return {};
}

std::optional<PlayerSource> fromRawValue(const QString& raw)
{
    for (PlayerSource source : allCases) {
        if (rawValue(source) == raw)
            return source;
    }
    return std::nullopt;
}

std::optional<PlayerSource> fromApplication(const QString& bundleIdentifier, const QString& appName)
{
    const QString b = bundleIdentifier.toLower();
    const QString n = appName.toLower();
    // The Chinese names are tested against the name as given.
    if (b.contains(QStringLiteral("kugou")) || appName.contains(QStringLiteral("酷狗")))
        return PlayerSource::kugou;
    if (b.contains(QStringLiteral("qqmusic")) || n.contains(QStringLiteral("qqmusic")) ||
        appName.contains(QStringLiteral("QQ音乐")))
        return PlayerSource::qqmusic;
    if (b.contains(QStringLiteral("163music")) || n.contains(QStringLiteral("netease")) ||
        appName.contains(QStringLiteral("网易云")))
        return PlayerSource::netease;
    return std::nullopt;
}

std::optional<PlayerSource> fromWindowsProgram(const QString& program)
{
    const QString p = program.toLower();
    if (p == QLatin1String("cloudmusic.exe"))
        return PlayerSource::netease;
    if (p == QLatin1String("kugou.exe") || p == QLatin1String("kgmusic.exe"))
        return PlayerSource::kugou;
    if (p == QLatin1String("qqmusic.exe"))
        return PlayerSource::qqmusic;
    return std::nullopt;
}

std::optional<Recognised> fromProcess(const QString& bundleIdentifier, const QString& appName,
                                      const QString& windowsProgram)
{
    // The Windows rule first, so that QQMusic.exe (which the name rule also takes) is known as Wine.
    if (const auto source = fromWindowsProgram(appName))
        return Recognised{*source, Form::wine};
    if (const auto source = fromWindowsProgram(windowsProgram))
        return Recognised{*source, Form::wine};
    if (const auto source = fromApplication(bundleIdentifier, appName))
        return Recognised{*source, Form::native};
    return std::nullopt;
}

} // namespace player_source
