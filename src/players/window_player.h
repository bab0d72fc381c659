#pragma once

#include "players/player_source.h"

#include <QString>
#include <array>
#include <optional>

// The players whose windows are recognised. The raw value is persisted as the pinned player
// and forms the source label; NetEase carries its full name here ("网易云音乐").
//
// Thread safety: pure, any thread.
namespace window_player {

enum class Player { kugou, qq, netease };

inline constexpr std::array<Player, 3> allCases = {Player::kugou, Player::qq, Player::netease};

QString rawValue(Player player);
// Exactly the three raw values; anything else gives no player.
std::optional<Player> fromRawValue(const QString& raw);
// Where the bar's song text starts at the earliest, in points from the window's left edge:
// the album cover and play controls lie left of it.
double leftEdgeLimit_pt(Player player);
// The application mapping of the player monitor, on this enumeration.
std::optional<Player> player(const QString& bundleId, const QString& appName);
// The process mapping of the player monitor (a Windows client under Wine included).
std::optional<Player> player(const QString& bundleId, const QString& appName, const QString& windowsProgram);
// The monitor's player of a window recognition label ("窗口识别(网易云音乐)"); none for any
// other text.
std::optional<PlayerSource> sourceOfLabel(const QString& label);

} // namespace window_player
