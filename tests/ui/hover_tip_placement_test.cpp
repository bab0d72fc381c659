#include "ui/hover_tip_placement.h"

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
        {"second screen, near corner", {1920, 0}, {200, 40}, second, {1936, 12, 200, 40}},
        {"too small for either side", {150, 10}, {200, 40}, {0, 0, 300, 50}, {0, 0, 200, 40}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hover_tip_placement::place(c.pointer, c.text, c.available), c.tip) << c.what;
}

} // namespace
