#pragma once

#include "players/window_player.h"

#include <QHash>
#include <QRectF>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

// Which player window to read, and the crop of its bottom bar. Pure rules, so that the order
// and the pin can be tested without windows.
//
// Thread safety: pure, any thread.
namespace window_choice {

// A window of a player, with its frame in points (root coordinates).
struct Candidate {
    quint32 window = 0;
    QRectF frame;
    qint64 processIdentifier = 0;
    window_player::Player player = window_player::Player::kugou;
    // The window's title (_NET_WM_NAME).
    QString title = {};
};

// Windows smaller than this are never read.
inline constexpr double kMinWidth_pt = 600;
inline constexpr double kMinHeight_pt = 400;
bool largeEnough(const QRectF& frame);

struct Choice {
    Candidate candidate;
    // The player to pin, or nothing when the pin stays as it was.
    std::optional<window_player::Player> pin;
};

// `order` maps the on-screen windows to their position, 0 = top-most. Sorts the candidates
// (stable: position, the frontmost process's windows, larger area) and picks by the four ways:
// the frontmost player, the top on-screen window, the pinned player, the first window.
std::optional<Choice> choose(std::vector<Candidate> candidates, const QHash<quint32, int>& order,
                             std::optional<window_player::Player> front, std::optional<qint64> frontProcess,
                             std::optional<window_player::Player> pinned);

// The bottom strip to read, in points from the window's top-left corner; nothing when the
// window is too small or the crop has no width.
std::optional<QRectF> barCrop(window_player::Player player, double width_pt, double height_pt);

} // namespace window_choice
