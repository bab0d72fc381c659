// Pure rules of the interface: placements, sizes, the capsule's layout, what answers mean.
#include "support/text.h"
#include "ui/capsule_layout.h"
#include "ui/hover_tip_placement.h"
#include "ui/island_update_check.h"
#include "ui/notch_bar_model.h"
#include "ui/panel_geometry.h"
#include "ui/plugin_link_line.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

TEST(HoverTipPlacement, BesideThePointerInsideTheAvailableArea)
{
    const QRectF screen(0, 0, 1920, 1080);
    const QRectF second(1920, 0, 1280, 1024);
    struct Case {
        const char* what;
        QPointF pointer;
        QSizeF text;
        QRectF available;
        QRectF tip;
    };
    const Case cases[] = {
        {"right of and below", {500, 400}, {200, 40}, screen, {516, 412, 200, 40}},
        {"narrow text widened", {100, 100}, {40, 30}, screen, {116, 112, 120, 30}},
        {"wide text narrowed", {100, 100}, {900, 30}, screen, {116, 112, 340, 30}},
        {"ends at the right edge", {1704, 400}, {200, 40}, screen, {1720, 412, 200, 40}},
        {"would cross it: flipped", {1705, 400}, {200, 40}, screen, {1489, 412, 200, 40}},
        {"flipped by the clamped width", {1800, 400}, {600, 40}, screen, {1444, 412, 340, 40}},
        {"above a bottom panel", {500, 1000}, {200, 40}, {0, 0, 1920, 1040}, {516, 988, 200, 40}},
        {"second screen, far corner", {3199, 1023}, {200, 40}, second, {2983, 972, 200, 40}},
        {"too small for either side", {150, 10}, {200, 40}, {0, 0, 300, 50}, {0, 0, 200, 40}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hover_tip_placement::place(c.pointer, c.text, c.available), c.tip) << c.what;
}

TEST(NotchBarModel, IslandPlacesOnTheAvailableArea)
{
    const NotchBarModel model = NotchBarModel::forScreen({0, 0, 1920, 1080});
    // max(224, 160) + 60 wide, 32 + 12 tall, centred at the top.
    EXPECT_EQ(model.hotZone(), QRect(818, 0, 284, 44));
    EXPECT_EQ(model.cardRect(NotchPage::main), QRect(680, 3, 560, 208));
    EXPECT_EQ(model.cardRect(NotchPage::settings), QRect(680, 3, 560, 500));
    // The card grown by 24 on every side.
    EXPECT_EQ(model.stayRect(NotchPage::settings), QRect(656, -21, 608, 548));
    // A second screen with a 28-pixel panel along its top.
    const NotchBarModel second = NotchBarModel::forScreen({1920, 28, 1280, 996});
    EXPECT_EQ(second.pillRect(), QRect(1920 + 528, 31, 224, 32));
    EXPECT_EQ(second.hotZone(), QRect(1920 + 498, 28, 284, 44));
    EXPECT_EQ(second.panelRect(216).top(), 28);
    // As wide as asked, up to the screen less 40; up to 320 on screens under 360 wide.
    const struct {
        int screen, asked, width;
    } widths[] = {{1280, 560, 560}, {1280, 1500, 1240}, {340, 560, 320},
                  {340, 200, 200},  {360, 560, 320},    {361, 560, 321}};
    for (const auto& c : widths)
        EXPECT_EQ(NotchBarModel::forScreen({0, 0, c.screen, 800}).panelWidth(c.asked), c.width)
            << c.screen << " " << c.asked;
}

TEST(PanelRules, HeightFollowsContentBetweenTheMinimumAndTheScreen)
{
    using namespace panel_geometry;
    EXPECT_EQ(fittedHeight(556, 1080), 560);
    EXPECT_EQ(fittedHeight(600.2, 1080), 605);
    EXPECT_EQ(fittedHeight(2000, 1080), 960);
    EXPECT_EQ(fittedHeight(2000, std::nullopt), 780);
    EXPECT_EQ(fittedHeight(700, std::nullopt), 704);
    EXPECT_FALSE(needsResize(560, 561));
    EXPECT_FALSE(needsResize(561, 560));
    EXPECT_TRUE(needsResize(560, 562));
}

TEST(PanelRules, LinkLineInItsFourStates)
{
    const PluginLinkLine named = pluginLinkLine(true, u("Auto-Tune Pro"), false);
    const PluginLinkLine unnamed = pluginLinkLine(true, QString(), true);
    const PluginLinkLine idle = pluginLinkLine(false, u("Auto-Tune Pro"), true);
    const PluginLinkLine absent = pluginLinkLine(false, QString(), false);
    EXPECT_EQ(named.text, u("插件已连接 · Auto-Tune Pro"));
    EXPECT_EQ(unnamed.text, u("插件已连接"));
    EXPECT_EQ(idle.text, u("已装 Auto-Tune · 插件没挂上"));
    EXPECT_EQ(absent.text, u("未检测到 Auto-Tune"));
    // Green, amber, red-grey.
    EXPECT_EQ(unnamed.color, named.color);
    EXPECT_NE(idle.color, named.color);
    EXPECT_NE(absent.color, idle.color);
    EXPECT_GT(named.color.green(), named.color.red());
}

TEST(CapsuleLayout, TheButtonUnderThePointerStaysUnderItAndTheRowFitsTheBar)
{
    namespace layout = capsule_layout;
    for (const int count : {7, 8}) {
        SCOPED_TRACE(count);
        const auto rest = layout::drawnCentres(std::nullopt, layout::scales(std::nullopt, count));
        for (int i = 0; i < count; ++i)
            EXPECT_DOUBLE_EQ(rest[size_t(i)], layout::restingCentre(i));

        // Every pointer position over the bar, in quarter points.
        for (double x = 0; x <= layout::kBarWidth; x += 0.25) {
            const auto s = layout::scales(x, count);
            const auto c = layout::drawnCentres(x, s);
            const auto left = [&](int i) { return c[size_t(i)] - layout::kBaseW * s[size_t(i)] / 2; };
            const auto right = [&](int i) { return c[size_t(i)] + layout::kBaseW * s[size_t(i)] / 2; };
            std::optional<int> restingUnder;
            for (int i = 0; i < count; ++i) {
                const double off = x - layout::restingCentre(i);
                if (std::abs(off) < layout::kBaseW / 2)
                    restingUnder = i;
                // Wholly on one side of the pointer at rest: moved away from it, or stayed.
                const double moved = c[size_t(i)] - layout::restingCentre(i);
                EXPECT_TRUE(off < layout::kBaseW / 2 || moved <= 1e-9) << x << " " << i;
                EXPECT_TRUE(off > -layout::kBaseW / 2 || moved >= -1e-9) << x << " " << i;
                if (i > 0) {
                    EXPECT_NEAR(left(i) - right(i - 1), layout::kButtonGap, 1e-9) << x;
                }
            }
            EXPECT_EQ(restingUnder ? layout::buttonAt(x, c, s) : restingUnder, restingUnder) << x;
            EXPECT_GE(left(0), 0) << x;
            EXPECT_LE(right(count - 1), layout::kBarWidth) << x;
        }

        // On a resting centre that button is drawn there at its largest.
        for (int i = 0; i < count; ++i) {
            const double x = layout::restingCentre(i);
            const auto s = layout::scales(x, count);
            EXPECT_DOUBLE_EQ(s[size_t(i)], 1.8);
            EXPECT_NEAR(layout::drawnCentres(x, s)[size_t(i)], x, 1e-9);
        }
    }
}

AppVersion version(const std::string& number, const char* url)
{
    AppVersion v;
    v.version = QString::fromStdString(number);
    v.url = QString::fromUtf8(url);
    return v;
}

// A failed check is shown by the island's own test.
TEST(IslandUpdateCheck, SaysWhatTheAnswerMeansAndNeverOpensAHostileAnswer)
{
    const auto same = IslandUpdateCheck::outcomeOf(version("1.2", "https://example.org/d"), u("1.2.0"));
    EXPECT_EQ(same.message, u("已是最新版本"));
    EXPECT_FALSE(same.updateAvailable);
    const auto newer = IslandUpdateCheck::outcomeOf(version("1.10.0", "https://example.org/d"), u("1.9.3"));
    EXPECT_EQ(newer.message, u("发现新版本"));
    EXPECT_EQ(newer.version, u("1.10.0"));
    EXPECT_EQ(newer.url, QUrl(u("https://example.org/d")));

    // A page that is not on the web is not opened by "下载".
    for (const char* url :
         {"file:///etc/passwd", "javascript:alert(1)", "", "not a url", "smb://host/share"}) {
        const auto outcome = IslandUpdateCheck::outcomeOf(version("9.0", url), u("1.0"));
        EXPECT_TRUE(outcome.updateAvailable) << url;
        EXPECT_FALSE(outcome.url.isValid()) << url;
    }
    // Control characters and a long tail never reach the label.
    const auto noisy = IslandUpdateCheck::outcomeOf(
        version("9.1\n\x1b[31m" + std::string(200, '9'), "https://e.org"), u("1.0"));
    EXPECT_FALSE(noisy.version.contains(u'\n') || noisy.version.contains(QChar(0x1b)));
    EXPECT_LE(noisy.version.size(), 24);
}

} // namespace
