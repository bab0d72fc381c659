#include "ui/hover_tip_placement.h"

#include <gtest/gtest.h>

namespace {

using hover_tip_placement::place;

const QRectF kScreen(0, 0, 1920, 1080);

TEST(HoverTipPlacement, WidthIsClampedAtBothEnds)
{
    EXPECT_EQ(place({100, 100}, {40, 30}, kScreen).width(), 120);
    EXPECT_EQ(place({100, 100}, {200, 30}, kScreen).width(), 200);
    EXPECT_EQ(place({100, 100}, {900, 30}, kScreen).width(), 340);
}

TEST(HoverTipPlacement, SitsRightOfAndBelowThePointer)
{
    EXPECT_EQ(place({500, 400}, {200, 40}, kScreen), QRectF(516, 412, 200, 40));
}

TEST(HoverTipPlacement, FlipsLeftOnlyWhenItWouldCrossTheRightEdge)
{
    // 1704 + 16 + 200 ends exactly at the edge: no flip.
    EXPECT_EQ(place({1704, 400}, {200, 40}, kScreen).left(), 1720);
    EXPECT_EQ(place({1705, 400}, {200, 40}, kScreen).left(), 1705 - 200 - 16);
    // The flip uses the clamped width, not the text's.
    EXPECT_EQ(place({1800, 400}, {600, 40}, kScreen).left(), 1800 - 340 - 16);
}

TEST(HoverTipPlacement, StaysTwelveAboveTheAvailableBottom)
{
    // A panel takes the bottom 40 pixels of the screen.
    const QRectF available(0, 0, 1920, 1040);
    EXPECT_EQ(place({500, 900}, {200, 40}, available).top(), 912);
    EXPECT_EQ(place({500, 1000}, {200, 40}, available).bottom(), 1040 - 12);
}

TEST(HoverTipPlacement, PointerInTheCornersOfASecondScreen)
{
    const QRectF second(1920, 0, 1280, 1024);
    EXPECT_EQ(place({3199, 1023}, {200, 40}, second), QRectF(3199 - 216, 1024 - 12 - 40, 200, 40));
    EXPECT_EQ(place({1920, 0}, {200, 40}, second), QRectF(1936, 12, 200, 40));
}

TEST(HoverTipPlacement, NeverLeavesASmallScreen)
{
    // Too narrow to hold the tip on either side of the pointer, too low to hold it below.
    const QRectF small(0, 0, 300, 50);
    const QRectF tip = place({150, 10}, {200, 40}, small);
    EXPECT_EQ(tip.topLeft(), QPointF(0, 0));
}

} // namespace
