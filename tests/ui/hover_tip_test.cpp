#include "ui/hover_tip.h"
#include "ui/window_chrome.h"
#include "ui_window_fixture.h"

#include <QGuiApplication>
#include <QScreen>

namespace {

using namespace ui_testing;

class HoverTipTest : public UiWindowTest {
protected:
    // The card where the X server has it (Qt's own idea of a window's position can lag
    // behind the window manager's reparenting): the window less its shadow margin.
    static QRect card(const HoverTip& tip)
    {
        const int margin = tip.window()->property("shadowMargin").toInt();
        return windowGeometry(id(*tip.window())).adjusted(margin, margin, -margin, -margin);
    }

    static bool shownAndMapped(HoverTip& tip)
    {
        return waitUntil([&] { return tip.isShown(); }) && waitForMapped(*tip.window());
    }
};

TEST_F(HoverTipTest, AppearsBesideThePointerOnEveryDesktopWithoutTakingFocus)
{
    // One of our windows has the focus first.
    const auto consent = createWindow("Window { width: 300; height: 200; color: Theme.window }");
    ASSERT_TRUE(consent);
    attachWindowChrome(*consent, WindowRole::consent);
    consent->show();
    ASSERT_TRUE(waitForMapped(*consent));
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == id(*consent); }))
        << "the consent window takes focus";

    movePointer({600, 500});
    HoverTip tip(engine());
    ASSERT_NE(tip.window(), nullptr);
    tip.schedule(QStringLiteral("固定，不自动收起"));
    EXPECT_FALSE(tip.isShown()) << "shown only after the delay";
    ASSERT_TRUE(shownAndMapped(tip));
    EXPECT_EQ(tip.currentText(), QStringLiteral("固定，不自动收起"));

    const quint32 window = id(*tip.window());
    EXPECT_TRUE(waitForCardinal(window, "_NET_WM_DESKTOP", platform::kAllDesktops));
    EXPECT_TRUE(waitForAtom(window, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));
    EXPECT_TRUE(waitForAtom(window, "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_EQ(activeWindow(), id(*consent));
    EXPECT_EQ(card(tip).topLeft(), QPoint(616, 512));
    EXPECT_GE(card(tip).width(), 120);
}

TEST_F(HoverTipTest, LongTextWrapsAtMaxWidthAndFlipsAtTheScreenCorner)
{
    HoverTip tip(engine());
    ASSERT_NE(tip.window(), nullptr);
    movePointer({300, 300});
    tip.schedule(QStringLiteral("短"));
    ASSERT_TRUE(shownAndMapped(tip));
    const QRect oneLine = card(tip);
    EXPECT_EQ(oneLine.width(), 120);

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint corner = available.bottomRight() - QPoint(4, 4);
    movePointer(corner);
    tip.schedule(
        QStringLiteral("Transposes the accompaniment one semitone down and tells the plug-in the new key"));
    EXPECT_FALSE(tip.isShown()) << "a new schedule hides the visible tip";
    ASSERT_TRUE(shownAndMapped(tip));
    ASSERT_TRUE(waitUntil([&] { return card(tip).width() == 340; }));
    const QRect wrapped = card(tip);
    EXPECT_GT(wrapped.height(), oneLine.height());
    EXPECT_EQ(wrapped.left(), corner.x() - 340 - 16);
    EXPECT_EQ(wrapped.top() + wrapped.height(), available.top() + available.height() - 12);
}

TEST_F(HoverTipTest, ClicksPassThroughTheTip)
{
    const auto below = createWindow(R"(
Window {
    id: root
    property int clicks: 0
    x: 0; y: 0; width: 900; height: 700; color: Theme.window
    MouseArea { anchors.fill: parent; onClicked: root.clicks++ }
})");
    ASSERT_TRUE(below);
    attachWindowChrome(*below, WindowRole::mainPanel);
    below->setPosition(0, 0);
    below->show();
    ASSERT_TRUE(waitForMapped(*below));
    // Clicks reach it where no tip is.
    click({100, 100});
    ASSERT_TRUE(waitUntil([&] { return below->property("clicks").toInt() == 1; }));

    HoverTip tip(engine());
    ASSERT_NE(tip.window(), nullptr);
    movePointer({300, 300});
    tip.schedule(QStringLiteral("展开"));
    ASSERT_TRUE(shownAndMapped(tip));
    const QPoint onTheCard = card(tip).center();
    ASSERT_TRUE(windowGeometry(id(*below)).contains(onTheCard));
    EXPECT_TRUE(isOverrideRedirect(id(*tip.window()))) << "a window manager's frame would catch the click";
    EXPECT_GT(stackingPosition(id(*tip.window())), stackingPosition(id(*below)))
        << "above an always-on-top panel";

    click(onTheCard);
    EXPECT_TRUE(waitUntil([&] { return below->property("clicks").toInt() == 2; }));
}

TEST_F(HoverTipTest, HideCancelsAPendingTip)
{
    HoverTip tip(engine());
    ASSERT_NE(tip.window(), nullptr);
    tip.schedule(QStringLiteral("降"));
    tip.hide();
    EXPECT_FALSE(waitUntil([&] { return tip.isShown(); }, HoverTip::kDelay * 3));
}

TEST_F(HoverTipTest, ScreenshotReadsBackTheChineseText)
{
    const QString text = QStringLiteral("固定，不自动收起");
    HoverTip tip(engine());
    ASSERT_NE(tip.window(), nullptr);
    movePointer({400, 300});
    tip.schedule(text);
    ASSERT_TRUE(shownAndMapped(tip));
    auto& window = static_cast<QQuickWindow&>(*tip.window());

    const QImage shot = grabAt2x(window);
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), window.size() * 2);
    EXPECT_FALSE(
        saveScreenshot(shot, QStringLiteral(TONIVOX_SCREENSHOT_DIR), QStringLiteral("hover_tip")).isEmpty());
    const QList<TextItem> texts = visibleTexts(window.contentItem());
    ASSERT_EQ(texts.size(), 1);
    EXPECT_EQ(texts[0].text, text);
    EXPECT_EQ(ocrTextItems(shot, texts), QStringList{text});
}

} // namespace
