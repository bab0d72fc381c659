#include "players/window_player.h"

#include "players/player_source.h"

namespace window_player {

QString rawValue(Player player)
{
    switch (player) {
    case Player::kugou:
        return QStringLiteral("酷狗");
    case Player::qq:
        return QStringLiteral("QQ音乐");
    case Player::netease:
        return QStringLiteral("网易云音乐");
    }
    return {};
}

std::optional<Player> fromRawValue(const QString& raw)
{
    for (Player player : allCases) {
        if (rawValue(player) == raw)
            return player;
    }
    return std::nullopt;
}

double leftEdgeLimit_pt(Player player)
{
    switch (player) {
    case Player::kugou:
        return 135.0;
    case Player::qq:
        return 300.0;
    case Player::netease:
        return 96.0;
    }
    return 0.0;
}

namespace {

Player fromSource(PlayerSource source)
{
    switch (source) {
    case PlayerSource::kugou:
        return Player::kugou;
    case PlayerSource::qqmusic:
        return Player::qq;
    case PlayerSource::netease:
        return Player::netease;
    }
    return Player::kugou;
}

} // namespace

std::optional<Player> player(const QString& bundleId, const QString& appName, const QString& windowsProgram)
{
    const auto found = player_source::fromProcess(bundleId, appName, windowsProgram);
    return found ? std::optional(fromSource(found->source)) : std::nullopt;
}

std::optional<Player> player(const QString& bundleId, const QString& appName)
{
    const auto source = player_source::fromApplication(bundleId, appName);
    return source ? std::optional(fromSource(*source)) : std::nullopt;
}

std::optional<PlayerSource> sourceOfLabel(const QString& label)
{
    const QString prefix = QStringLiteral("窗口识别(");
    if (!label.startsWith(prefix) || !label.endsWith(u')'))
        return std::nullopt;
    const auto player = fromRawValue(label.mid(prefix.size(), label.size() - prefix.size() - 1));
    if (!player)
        return std::nullopt;
    switch (*player) {
    case Player::kugou:
        return PlayerSource::kugou;
    case Player::qq:
        return PlayerSource::qqmusic;
    case Player::netease:
        return PlayerSource::netease;
    }
    return std::nullopt;
}

} // namespace window_player
