#pragma once

#include "core/song.h"
#include "players/window_choice.h"
#include "players/window_text.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

class SettingsStore;

namespace platform {
class RunningApplications;
class WindowReader;
struct DesktopWindowList;
} // namespace platform

// Reads the playing song off a player's window when no player's local data names one: a
// window title that names the song is taken as it is; otherwise the bottom bar of the chosen
// player window is photographed five times 300 ms apart and its text recognised, and a song
// is offered only when two passes agree. Without a window of the three players, Spotify's
// window title may name the song (setting otherPlayers).
//
// Thread safety: main thread only; the desktop and the recognition run on the reader's worker
// and are awaited. Calls must not overlap (the tracker never has two outstanding).
class PlayerDetector {
public:
    using Clock = std::chrono::steady_clock;
    struct Deps {
        platform::WindowReader& reader;
        SettingsStore& settings;
        std::shared_ptr<const platform::RunningApplications> applications;
        // Appends a line to the application log.
        std::function<void(const QString&)> log;
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
        std::chrono::milliseconds passPause{300};
    };

    explicit PlayerDetector(Deps deps);

    // The song on the frontmost (or chosen) player window; the same answer for 2 s while the
    // frontmost player stays the same.
    QCoro::Task<std::optional<Song>> ocrCurrentSong(std::stop_token stop = {});
    // "窗口识别(<player>)" of the latest attempt, or nothing before the first.
    std::optional<QString> lastPlayerLabel() const { return m_lastPlayerLabel; }
    // Whether window pictures can be taken, from the worker's last look; never waits.
    bool screenCaptureAllowed() const;

    // Tests: awaited after each pass but the last, before the pause.
    void setPassHook(std::function<QCoro::Task<>(int pass)> hook) { m_passHook = std::move(hook); }

    static const QString& noDisplayLogLine();

private:
    struct LastOcr {
        Clock::time_point date;
        std::optional<Song> song;
        std::optional<window_player::Player> front;
    };

    QCoro::Task<std::optional<Song>> ocrNow(const platform::DesktopWindowList& desktop, std::stop_token stop);
    QCoro::Task<std::optional<Song>> ocr(window_choice::Candidate window, double scale, std::stop_token stop);
    QCoro::Task<std::optional<std::vector<window_text::OcrLine>>>
    ocrLinesOnce(window_choice::Candidate window, double scale, std::stop_token stop);
    // Without a window of the three players: the song in a Spotify window's title, when
    // other players may name the song (no screenshot is taken of other players).
    std::optional<Song> otherPlayerTitle(const platform::DesktopWindowList& desktop);
    std::optional<window_player::Player> frontmostPlayer(const platform::DesktopWindowList& desktop) const;
    std::optional<window_player::Player> pinnedPlayer() const;
    void setPinnedPlayer(std::optional<window_player::Player> player);

    Deps m_deps;
    std::optional<LastOcr> m_lastOcr;
    bool m_noPermissionLogged = false;
    std::optional<QString> m_lastPlayerLabel;
    std::function<QCoro::Task<>(int)> m_passHook;
};

// Asks once per application version for what window pictures need. On Linux there is
// nothing to ask for: it only records that the question was settled for this version.
namespace screen_recording {
void requestOnceIfNeeded(SettingsStore& settings, bool captureAllowed);
}
