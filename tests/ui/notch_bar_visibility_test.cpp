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
const Pointer kAwayHeld{{200, 700}, true};

class NotchBarVisibilityTest : public ::testing::Test {
protected:
    NotchBarVisibility::TimePoint now{};
    NotchBarVisibility visibility{[this] { return now; }};

    // Ticks at 60 Hz for `span` with the pointer at `pointer`.
    void run(std::chrono::milliseconds span, const Pointer& pointer)
    {
        const auto end = now + span;
        while (now < end) {
            now += 16ms;
            visibility.tick(pointer, kZones);
        }
    }
};

TEST_F(NotchBarVisibilityTest, HotZoneExpandsAndLeavingCollapsesAfterThreeTenths)
{
    visibility.tick(kAway, kZones);
    EXPECT_FALSE(visibility.expanded());
    visibility.tick(kInHotZone, kZones);
    ASSERT_TRUE(visibility.expanded());
    EXPECT_FALSE(visibility.hovering());

    // Over the card, and within the 24-point margin around it, it stays.
    run(2s, kOnCard);
    run(2s, {{1250, 200}, false});
    EXPECT_TRUE(visibility.expanded());

    // Outside: still open just before 0.3 s, closed on the first tick after it.
    visibility.tick(kAway, kZones);
    now += 299ms;
    visibility.tick(kAway, kZones);
    EXPECT_TRUE(visibility.expanded());
    now += 1ms;
    visibility.tick(kAway, kZones);
    EXPECT_FALSE(visibility.expanded());
}

TEST_F(NotchBarVisibilityTest, SamplesAt60HzWhileItMattersAndSlowerFarAway)
{
    using V = NotchBarVisibility;
    EXPECT_EQ(visibility.nextTickDelay(kAway, kZones), V::kFarTickPeriod);
    // Within reach of the hot zone (300 around it), every frame.
    EXPECT_EQ(visibility.nextTickDelay({{960, 340}, false}, kZones), V::kTickPeriod);
    EXPECT_EQ(visibility.nextTickDelay({{960, 350}, false}, kZones), V::kFarTickPeriod);
    // Open, every frame wherever the pointer is: the collapse timing depends on it.
    visibility.expand();
    EXPECT_EQ(visibility.nextTickDelay(kAway, kZones), V::kTickPeriod);
}

TEST_F(NotchBarVisibilityTest, ComingBackCancelsThePendingCollapse)
{
    visibility.expand();
    visibility.tick(kAway, kZones);
    now += 200ms;
    visibility.tick(kOnCard, kZones);
    EXPECT_FALSE(visibility.collapsePending());
    // Leaving again starts a fresh 0.3 s.
    visibility.tick(kAway, kZones);
    now += 250ms;
    visibility.tick(kAway, kZones);
    EXPECT_TRUE(visibility.expanded());
    now += 50ms;
    visibility.tick(kAway, kZones);
    EXPECT_FALSE(visibility.expanded());
}

TEST_F(NotchBarVisibilityTest, AHeldButtonKeepsItOpenUntilReleased)
{
    visibility.expand();
    run(5s, kAwayHeld);
    EXPECT_TRUE(visibility.expanded());
    // A collapse that comes due while held looks again 0.2 s later.
    visibility.tick(kAway, kZones);
    now += 300ms;
    visibility.tick(kAwayHeld, kZones);
    EXPECT_TRUE(visibility.expanded());
    // Released outside: closed within 0.3 s.
    visibility.tick(kAway, kZones);
    run(300ms, kAway);
    EXPECT_FALSE(visibility.expanded());
}

// The pin and a dialog of the island each keep it open, and it closes once they are gone.
TEST_F(NotchBarVisibilityTest, PinnedOrUnderADialogItNeverCollapsesByItself)
{
    const std::function<void(bool)> holds[] = {
        [this](bool) { visibility.togglePin(); },
        [this](bool on) { visibility.setModalPresenting(on); },
    };
    for (const auto& hold : holds) {
        visibility.expand();
        hold(true);
        run(5s, kAway);
        EXPECT_TRUE(visibility.expanded());
        hold(false);
        run(320ms, kAway);
        EXPECT_FALSE(visibility.expanded());
    }
}

TEST_F(NotchBarVisibilityTest, HideForgetsExpandedHoveringPinnedAndThePage)
{
    visibility.expand();
    visibility.togglePin();
    visibility.openSettings();
    visibility.hide();
    EXPECT_FALSE(visibility.expanded());
    EXPECT_FALSE(visibility.hovering());
    EXPECT_FALSE(visibility.pinned());
    EXPECT_FALSE(visibility.settingsPage());
    // Nothing left pending: the next showing starts collapsed and stays so away from the zone.
    run(2s, kAway);
    EXPECT_FALSE(visibility.expanded());
    EXPECT_EQ(visibility.panelHeight(), 32 + 176 + 8);
}

TEST_F(NotchBarVisibilityTest, GrowsAtOnceAndShrinksOnlyAfterQuiet)
{
    visibility.requestResize();
    EXPECT_EQ(visibility.panelHeight(), 32 + 176 + 8);
    // Expanding makes room for the tallest page at once, before the card is said to open
    // (the window's input region is taken from its size then).
    int heightWhenOpened = 0;
    QObject::connect(&visibility, &NotchBarVisibility::expandedChanged,
                     [&] { heightWhenOpened = visibility.panelHeight(); });
    visibility.expand();
    EXPECT_EQ(heightWhenOpened, 32 + 468 + 8);
    EXPECT_EQ(visibility.panelHeight(), 32 + 468 + 8);
    // Then fits the main page after 0.65 s.
    run(640ms, kOnCard);
    EXPECT_EQ(visibility.panelHeight(), 32 + 468 + 8);
    run(16ms, kOnCard);
    EXPECT_EQ(visibility.panelHeight(), 32 + 176 + 8);

    // The settings page grows it at once and keeps it.
    visibility.openSettings();
    EXPECT_EQ(visibility.panelHeight(), 32 + 468 + 8);
    run(1s, kOnCard);
    EXPECT_EQ(visibility.panelHeight(), 32 + 468 + 8);
}

TEST_F(NotchBarVisibilityTest, AShrinkFollowedByAGrowWithinTheDelayNeverShrinks)
{
    visibility.expand();
    visibility.openSettings();
    run(1s, kOnCard);
    int lowest = visibility.panelHeight();
    // Back to the main page (a shrink request), and to settings again 0.4 s later.
    visibility.openMainPage();
    for (int i = 0; i < 25; ++i) {
        now += 16ms;
        visibility.tick(kOnCard, kZones);
        lowest = std::min(lowest, visibility.panelHeight());
    }
    visibility.openSettings();
    for (int i = 0; i < 100; ++i) {
        now += 16ms;
        visibility.tick(kOnCard, kZones);
        lowest = std::min(lowest, visibility.panelHeight());
    }
    EXPECT_EQ(lowest, 32 + 468 + 8);
}

TEST_F(NotchBarVisibilityTest, CollapsingReturnsToTheMainPage)
{
    visibility.expand();
    visibility.openSettings();
    // The settings card is taller: its stay rectangle is the settings card's.
    const NotchBarVisibility::Zones settingsZones{kZones.hotZone, QRectF(656, -21, 608, 548)};
    visibility.tick({{960, 480}, false}, settingsZones);
    now += 1s;
    visibility.tick({{960, 480}, false}, settingsZones);
    EXPECT_TRUE(visibility.expanded());
    visibility.tick(kAway, settingsZones);
    now += 300ms;
    visibility.tick(kAway, settingsZones);
    EXPECT_FALSE(visibility.expanded());
    EXPECT_FALSE(visibility.settingsPage());
}

} // namespace
