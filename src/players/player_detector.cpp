#include "players/player_detector.h"

#include "core/build_info.h"
#include "core/cancellation.h"
#include "core/settings_store.h"
#include "platform/running_applications.h"
#include "platform/window_reader.h"
#include "players/window_title.h"

#include <cmath>

namespace {

using window_player::Player;

constexpr auto kCacheFor = std::chrono::milliseconds(2000);
constexpr int kPasses = 5;
constexpr int kMinKeptPasses = 2;
constexpr double kUpscale = 3.0;

std::optional<Player> playerOf(const platform::RunningApplications& apps, qint64 processIdentifier)
{
    const auto app = apps.application(processIdentifier);
    if (!app)
        return std::nullopt;
    return window_player::player(app->bundleIdentifier, app->localizedName, app->windowsProgram);
}

} // namespace

PlayerDetector::PlayerDetector(Deps deps) : m_deps(std::move(deps)) {}

const QString& PlayerDetector::noDisplayLogLine()
{
    static const QString line = QStringLiteral(
        "[窗口识别] 没有 X11 显示 → 不尝试截图（需要 X11 桌面或 XWayland，以及支持 EWMH 的窗口管理器）");
    return line;
}

bool PlayerDetector::screenCaptureAllowed() const
{
    return m_deps.reader.allowed();
}

QCoro::Task<std::optional<Song>> PlayerDetector::ocrCurrentSong(std::stop_token stop)
{
    // The desktop is asked on the worker; no display answers at once, so repeated calls stay cheap.
    const auto desktop = co_await cancellation::awaitFuture(m_deps.reader.list(), stop);
    if (stop.stop_requested())
        co_return std::nullopt;
    if (!desktop || !*desktop) {
        if (!m_noPermissionLogged) {
            m_noPermissionLogged = true;
            m_deps.log(noDisplayLogLine());
        }
        co_return std::nullopt;
    }
    const std::optional<Player> front = frontmostPlayer(**desktop);
    if (m_lastOcr && m_lastOcr->front == front && m_deps.now() - m_lastOcr->date < kCacheFor) {
        std::optional<Song> cached = m_lastOcr->song;
        co_return cached;
    }
    std::optional<Song> song = co_await ocrNow(**desktop, stop);
    if (stop.stop_requested())
        co_return std::nullopt;
    m_lastOcr = LastOcr{m_deps.now(), song, front};
    co_return song;
}

std::optional<Player> PlayerDetector::frontmostPlayer(const platform::DesktopWindowList& desktop) const
{
    if (!desktop.activeProcess)
        return std::nullopt;
    return playerOf(*m_deps.applications, *desktop.activeProcess);
}

std::optional<Player> PlayerDetector::pinnedPlayer() const
{
    const auto raw = m_deps.settings.ocrPinnedPlayer();
    return raw ? window_player::fromRawValue(*raw) : std::nullopt;
}

void PlayerDetector::setPinnedPlayer(std::optional<Player> player)
{
    if (player)
        m_deps.settings.setOcrPinnedPlayer(window_player::rawValue(*player));
    else
        m_deps.settings.removeOcrPinnedPlayer();
}

QCoro::Task<std::optional<Song>> PlayerDetector::ocrNow(const platform::DesktopWindowList& desktop,
                                                        std::stop_token stop)
{
    const double scale = desktop.scale;
    std::vector<window_choice::Candidate> candidates;
    for (const platform::DesktopWindow& window : desktop.windows) {
        const QRectF frame_pt(window.frame_px.x() / scale, window.frame_px.y() / scale,
                              window.frame_px.width() / scale, window.frame_px.height() / scale);
        if (!window_choice::largeEnough(frame_pt) || window_title::isLyricWindow(window.title))
            continue;
        if (const auto player = playerOf(*m_deps.applications, window.processIdentifier))
            candidates.push_back({window.id, frame_pt, window.processIdentifier, *player, window.title});
    }
    if (candidates.empty())
        co_return otherPlayerTitle(desktop);
    QHash<quint32, int> order;
    for (std::size_t i = 0; i < desktop.onScreenTopFirst.size(); ++i)
        order.insert(desktop.onScreenTopFirst[i], static_cast<int>(i));
    const std::optional<Player> front = frontmostPlayer(desktop);
    if (front)
        setPinnedPlayer(front);
    const auto choice =
        window_choice::choose(std::move(candidates), order, front, desktop.activeProcess, pinnedPlayer());
    if (!choice)
        co_return std::nullopt;
    if (choice->pin)
        setPinnedPlayer(choice->pin);
    // A title that names the song costs no screenshot.
    if (auto titled = window_title::parse(choice->candidate.player, choice->candidate.title)) {
        m_lastPlayerLabel =
            QStringLiteral("窗口识别(") + window_player::rawValue(choice->candidate.player) + u')';
        co_return titled;
    }
    std::optional<Song> song = co_await ocr(choice->candidate, scale, stop);
    co_return song;
}

std::optional<Song> PlayerDetector::otherPlayerTitle(const platform::DesktopWindowList& desktop)
{
    if (!m_deps.settings.otherPlayers())
        return std::nullopt;
    for (const platform::DesktopWindow& window : desktop.windows) {
        const auto app = m_deps.applications->application(window.processIdentifier);
        if (!app || !window_title::isSpotify(app->bundleIdentifier, app->localizedName))
            continue;
        if (auto song = window_title::parseSpotify(window.title)) {
            m_lastPlayerLabel = QStringLiteral("窗口识别(Spotify)");
            return song;
        }
    }
    return std::nullopt;
}

QCoro::Task<std::optional<Song>> PlayerDetector::ocr(window_choice::Candidate window, double scale,
                                                     std::stop_token stop)
{
    m_lastPlayerLabel = QStringLiteral("窗口识别(") + window_player::rawValue(window.player) + u')';
    std::vector<std::vector<window_text::OcrLine>> kept;
    for (int pass = 0; pass < kPasses; ++pass) {
        if (pass > 0) {
            if (m_passHook) {
                auto hook = m_passHook(pass - 1);
                co_await hook;
            }
            const bool slept = co_await cancellation::sleepFor(m_deps.passPause, stop);
            if (!slept)
                co_return std::nullopt;
        }
        auto lines = co_await ocrLinesOnce(window, scale, stop);
        if (stop.stop_requested())
            co_return std::nullopt;
        if (lines)
            kept.push_back(std::move(*lines));
    }
    if (static_cast<int>(kept.size()) < kMinKeptPasses)
        co_return std::nullopt;
    std::optional<Song> song = window_text::agreedSong(window.player, kept);
    co_return song;
}

QCoro::Task<std::optional<std::vector<window_text::OcrLine>>>
PlayerDetector::ocrLinesOnce(window_choice::Candidate window, double scale, std::stop_token stop)
{
    const auto crop = window_choice::barCrop(window.player, window.frame.width(), window.frame.height());
    if (!crop)
        co_return std::nullopt;
    // Points to the window's device pixels, truncated as the capture sizes are.
    const QRect area_px(static_cast<int>(crop->x() * scale), static_cast<int>(crop->y() * scale),
                        static_cast<int>(crop->width() * scale), static_cast<int>(crop->height() * scale));
    const auto read =
        co_await cancellation::awaitFuture(m_deps.reader.readStrip(window.window, area_px, kUpscale), stop);
    if (!read || !*read)
        co_return std::nullopt;
    // Picture pixels back to points of the strip.
    const double perPoint = scale * kUpscale;
    std::vector<window_text::OcrLine> lines;
    for (const platform::TextLine& line : **read) {
        lines.push_back({line.text, line.box_px.x() / perPoint, line.box_px.y() / perPoint,
                         line.box_px.height() / perPoint});
    }
    std::stable_sort(
        lines.begin(), lines.end(),
        [](const window_text::OcrLine& a, const window_text::OcrLine& b) { return a.yTop < b.yTop; });
    co_return lines;
}

namespace screen_recording {

void requestOnceIfNeeded(SettingsStore& settings, bool captureAllowed)
{
    const QString version = appShortVersion().isEmpty() ? QStringLiteral("?") : appShortVersion();
    if (captureAllowed || settings.screenRecordingRequested(version))
        return;
    // There is no permission to ask for on X11: recording the question is all there is to do.
    settings.setScreenRecordingRequested(version, true);
}

} // namespace screen_recording
