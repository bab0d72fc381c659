#pragma once

#include <QString>
#include <array>
#include <optional>

// The three followed desktop players. The raw value is also the source label the
// tracking loop shows and reports.
enum class PlayerSource { kugou, qqmusic, netease };

namespace player_source {

inline constexpr std::array<PlayerSource, 3> allCases = {PlayerSource::kugou, PlayerSource::qqmusic,
                                                         PlayerSource::netease};

QString rawValue(PlayerSource source);
// Exactly the three raw values; anything else gives no player.
std::optional<PlayerSource> fromRawValue(const QString& raw);
// Maps a running application to a player by substring rules, the first hit deciding.
// An absent bundle identifier is passed as the empty text.
std::optional<PlayerSource> fromApplication(const QString& bundleIdentifier, const QString& appName);
// A player's Windows client by its program name ("cloudmusic.exe", "KuGou.exe", "KGMusic.exe",
// "QQMusic.exe"), compared without case.
std::optional<PlayerSource> fromWindowsProgram(const QString& program);

// How a recognised process runs the player.
enum class Form { native, wine };
struct Recognised {
    PlayerSource source;
    Form form;
};
// A running process: the application rule on its executable and process name, then the
// Windows-program rule on its process name (Wine names the process after the program) and
// on the program its command line names.
std::optional<Recognised> fromProcess(const QString& bundleIdentifier, const QString& appName,
                                      const QString& windowsProgram);

} // namespace player_source
