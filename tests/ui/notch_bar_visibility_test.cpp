#include "ui/notch_bar_visibility.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Pointer = NotchBarVisibility::Pointer;

// The model's zones on a 1920-wide screen, main page.
const NotchBarVisibility::Zones kZones{QRectF(818, 0, 284, 44), QRectF(656, -21, 608, 256)};
const Pointer kInHotZone{{960, 10}, false};
const Pointer kOnCard{{960, 150}, false};
const Pointer kAway{{200, 700}, false};
constexpr int kMainHeight = 32 + 176 + 8;
constexpr int kSettingsHeight = 32 + 468 + 8;

class NotchBarVisibilityTest : public ::testing::Test {
protected:
    NotchBarVisibility::TimePoint now{};
    NotchBarVisibility visibility{[this] { return now; }};

    void run(std::chrono::milliseconds span, const Pointer& pointer,
             const NotchBarVisibility::Zones& zones = kZones)
    {
        for (const auto end = now + span; now < end;) {
            now += 16ms;
            visibility.tick(pointer, zones);
        }
    }
    // The pointer leaves and the next tick comes `after` later; whether it is still open then.
    bool openAfterLeaving(std::chrono::milliseconds after, const Pointer& then = kAway,
                          const NotchBarVisibility::Zones& zones = kZones)
    {
        visibility.tick(kAway, zones);
        now += after;
        visibility.tick(then, zones);
        return visibility.expanded();
    }
};

// Also how often it samples the pointer: at 60 Hz while it matters, slower far away.
TEST_F(NotchBarVisibilityTest, HotZoneExpandsAndLeavingCollapsesAfterThreeTenths)
{
    using V = NotchBarVisibility;
    EXPECT_EQ(visibility.nextTickDelay(kAway, kZones), V::kFarTickPeriod);
    // Within reach of the hot zone (300 around it), every frame.
    EXPECT_EQ(visibility.nextTickDelay({{960, 340}, false}, kZones), V::kTickPeriod);
    EXPECT_EQ(visibility.nextTickDelay({{960, 350}, false}, kZones), V::kFarTickPeriod);
    visibility.tick(kInHotZone, kZones);
    ASSERT_TRUE(visibility.expanded());
    EXPECT_FALSE(visibility.hovering());

    // Over the card, and within the 24-point margin around it, it stays.
    run(2s, kOnCard);
    run(2s, {{1250, 200}, false});
    EXPECT_TRUE(visibility.expanded());

    // Coming back within 0.3 s cancels the collapse.
    EXPECT_TRUE(openAfterLeaving(200ms, kOnCard));
    EXPECT_FALSE(visibility.collapsePending());
    // Outside: still open just before 0.3 s, closed on the first tick after it.
    EXPECT_TRUE(openAfterLeaving(299ms));
    // Open, every frame wherever the pointer is: the collapse timing depends on it.
    EXPECT_EQ(visibility.nextTickDelay(kAway, kZones), V::kTickPeriod);
    now += 1ms;
    visibility.tick(kAway, kZones);
    EXPECT_FALSE(visibility.expanded());
}

// A button held (outside our windows), the pin and a dialog of the island each keep it open,
// and it closes once they are gone.
TEST_F(NotchBarVisibilityTest, HeldPinnedOrUnderADialogItNeverCollapsesByItself)
{
    const struct {
        const char* name;
        bool buttonHeld;
        std::function<void(bool)> hold;
    } holds[] = {
        {"button", true, [](bool) {}},
        {"pin", false, [this](bool) { visibility.togglePin(); }},
        {"dialog", false, [this](bool on) { visibility.setModalPresenting(on); }},
    };
    for (const auto& [name, buttonHeld, hold] : holds) {
        SCOPED_TRACE(name);
        visibility.expand();
        hold(true);
        run(5s, {kAway.position, buttonHeld});
        EXPECT_TRUE(visibility.expanded());
        hold(false);
        run(320ms, kAway);
        EXPECT_FALSE(visibility.expanded());
    }
}

TEST_F(NotchBarVisibilityTest, CollapsingReturnsToTheMainPageAndHidingForgetsAll)
{
    visibility.expand();
    visibility.openSettings();
    // Over the settings card, which is taller than the main one.
    const NotchBarVisibility::Zones settingsZones{kZones.hotZone, QRectF(656, -21, 608, 548)};
    run(1s, {{960, 480}, false}, settingsZones);
    EXPECT_TRUE(visibility.expanded());
    EXPECT_FALSE(openAfterLeaving(300ms, kAway, settingsZones));
    EXPECT_FALSE(visibility.settingsPage());

    visibility.expand();
    visibility.togglePin();
    visibility.openSettings();
    visibility.hide();
    EXPECT_FALSE(visibility.expanded() || visibility.hovering() || visibility.pinned() ||
                 visibility.settingsPage());
    // Nothing left pending: the next showing starts collapsed and stays so away from the zone.
    run(2s, kAway);
    EXPECT_FALSE(visibility.expanded());
    EXPECT_EQ(visibility.panelHeight(), kMainHeight);
}

TEST_F(NotchBarVisibilityTest, GrowsAtOnceAndShrinksOnlyAfterQuiet)
{
    visibility.requestResize();
    EXPECT_EQ(visibility.panelHeight(), kMainHeight);
    // Expanding makes room for the tallest page at once, before the card is said to open
    // (the window's input region is taken from its size then).
    int heightWhenOpened = 0;
    QObject::connect(&visibility, &NotchBarVisibility::expandedChanged,
                     [&] { heightWhenOpened = visibility.panelHeight(); });
    visibility.expand();
    EXPECT_EQ(heightWhenOpened, kSettingsHeight);
    // Then fits the main page after 0.65 s.
    run(640ms, kOnCard);
    EXPECT_EQ(visibility.panelHeight(), kSettingsHeight);
    run(16ms, kOnCard);
    EXPECT_EQ(visibility.panelHeight(), kMainHeight);

    // The settings page grows it at once and keeps it; back to the main page (a shrink
    // request) and to settings again 0.4 s later, it never shrank.
    visibility.openSettings();
    EXPECT_EQ(visibility.panelHeight(), kSettingsHeight);
    run(1s, kOnCard);
    int lowest = visibility.panelHeight();
    visibility.openMainPage();
    for (int i = 0; i < 125; ++i) {
        if (i == 25)
            visibility.openSettings();
        run(16ms, kOnCard);
        lowest = std::min(lowest, visibility.panelHeight());
    }
    EXPECT_EQ(lowest, kSettingsHeight);
}

} // namespace
