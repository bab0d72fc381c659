#include "ui/notch_bar_model.h"

#include <gtest/gtest.h>

namespace {

TEST(NotchBarModel, VirtualNotchAndIslandOnA1920Screen)
{
    const NotchBarModel model = NotchBarModel::forScreen({0, 0, 1920, 1080});
    EXPECT_FALSE(model.realNotch);
    EXPECT_EQ(model.menuBarHeight, 32);
    EXPECT_EQ(model.notchWidth, 224);
    EXPECT_EQ(model.panelWidth(560), 560);
    EXPECT_EQ(model.expandedHeight(NotchPage::main), 32 + 176);
    EXPECT_EQ(model.expandedHeight(NotchPage::settings), 32 + 468);

    EXPECT_EQ(model.pillRect(), QRect(848, 3, 224, 32));
    EXPECT_EQ(model.cardRect(NotchPage::main), QRect(680, 3, 560, 208));
    EXPECT_EQ(model.cardRect(NotchPage::settings), QRect(680, 3, 560, 500));
    // max(224, 160) + 60 wide, 32 + 12 tall, centred at the top.
    EXPECT_EQ(model.hotZone(), QRect(818, 0, 284, 44));
    // The card grown by 24 on every side.
    EXPECT_EQ(model.stayRect(NotchPage::main), QRect(656, -21, 608, 256));
    EXPECT_EQ(model.stayRect(NotchPage::settings), QRect(656, -21, 608, 548));
    EXPECT_EQ(model.panelRect(216), QRect(680, 0, 560, 216));
}

TEST(NotchBarModel, PanelWidthFollowsTheScreenWidth)
{
    const NotchBarModel wide = NotchBarModel::forScreen({0, 0, 1280, 800});
    EXPECT_EQ(wide.panelWidth(560), 560);
    EXPECT_EQ(wide.panelWidth(1500), 1240);
    EXPECT_EQ(wide.cardRect(NotchPage::main), QRect(360, 3, 560, 208));

    // Below 360 the cap is 320 whatever the screen.
    const NotchBarModel narrow = NotchBarModel::forScreen({0, 0, 340, 600});
    EXPECT_EQ(narrow.panelWidth(560), 320);
    EXPECT_EQ(narrow.panelWidth(200), 200);
    EXPECT_EQ(narrow.cardRect(NotchPage::main), QRect(10, 3, 320, 208));
    EXPECT_EQ(narrow.hotZone(), QRect(28, 0, 284, 44));
    EXPECT_EQ(NotchBarModel::forScreen({0, 0, 360, 600}).panelWidth(560), 320);
    EXPECT_EQ(NotchBarModel::forScreen({0, 0, 361, 600}).panelWidth(560), 321);
}

TEST(NotchBarModel, FollowsTheAvailableAreaOfItsScreen)
{
    // A second screen right of the first, with a 28-pixel panel along its top.
    const NotchBarModel model = NotchBarModel::forScreen({1920, 28, 1280, 996});
    EXPECT_EQ(model.pillRect(), QRect(1920 + 528, 31, 224, 32));
    EXPECT_EQ(model.hotZone(), QRect(1920 + 498, 28, 284, 44));
    EXPECT_EQ(model.cardRect(NotchPage::main).top(), 31);
    EXPECT_EQ(model.panelRect(216).top(), 28);
}

} // namespace
