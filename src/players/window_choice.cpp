#include "players/window_choice.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace window_choice {
namespace {

constexpr double kRightEdgeShare = 0.75;
constexpr double kLeftEdgeShare = 0.4;
constexpr double kStripHeight_pt = 100;
constexpr double kTwoLineStripHeight_pt = 80;

} // namespace

bool largeEnough(const QRectF& frame)
{
    return frame.width() >= kMinWidth_pt && frame.height() >= kMinHeight_pt;
}

std::optional<Choice> choose(std::vector<Candidate> candidates, const QHash<quint32, int>& order,
                             std::optional<window_player::Player> front, std::optional<qint64> frontProcess,
                             std::optional<window_player::Player> pinned)
{
    if (candidates.empty())
        return std::nullopt;
    const auto position = [&](const Candidate& c) {
        return order.value(c.window, std::numeric_limits<int>::max());
    };
    const auto ownedByFront = [&](const Candidate& c) {
        return frontProcess && c.processIdentifier == *frontProcess;
    };
    const auto area = [](const Candidate& c) { return c.frame.width() * c.frame.height(); };
    std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
        if (position(a) != position(b))
            return position(a) < position(b);
        if (ownedByFront(a) != ownedByFront(b))
            return ownedByFront(a);
        return area(a) > area(b);
    });
    const auto firstOf = [&](window_player::Player player) {
        return std::find_if(candidates.begin(), candidates.end(),
                            [&](const Candidate& c) { return c.player == player; });
    };
    if (front) {
        if (auto it = firstOf(*front); it != candidates.end())
            return Choice{*it, it->player};
    }
    if (order.contains(candidates.front().window))
        return Choice{candidates.front(), candidates.front().player};
    if (pinned) {
        if (auto it = firstOf(*pinned); it != candidates.end())
            return Choice{*it, it->player};
    }
    return Choice{candidates.front(), std::nullopt};
}

std::optional<QRectF> barCrop(window_player::Player player, double width_pt, double height_pt)
{
    if (!(width_pt >= kMinWidth_pt && height_pt >= kMinHeight_pt))
        return std::nullopt;
    const double left = std::min(width_pt * kLeftEdgeShare, window_player::leftEdgeLimit_pt(player));
    const double right = std::round(width_pt * kRightEdgeShare);
    const double strip = std::min(height_pt, player == window_player::Player::netease ? kTwoLineStripHeight_pt
                                                                                      : kStripHeight_pt);
    if (right - left <= 0)
        return std::nullopt;
    return QRectF(left, height_pt - strip, right - left, strip);
}

} // namespace window_choice
