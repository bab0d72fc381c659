#include "ui_window_fixture.h"

namespace {

using namespace ui_testing;

TEST_F(UiWindowTest, VisibleTextsSkipHiddenTransparentAndClippedItemsInReadingOrder)
{
    const auto window = createWindow(R"(
Window {
    width: 320; height: 300; color: Theme.window
    Column {
        y: 10; spacing: 6
        Row {
            spacing: 20
            // Baselines differ by a few pixels: still one row, read left to right.
            Text { text: "左"; font.pixelSize: 20 }
            Label { y: 4; text: "右" }
        }
        Text { text: "隐藏"; visible: false }
        Text { text: "透明"; opacity: 0 }
        Item { opacity: 0; width: 50; height: 20; Text { text: "父项透明" } }
        Text { text: "   " }
        Button { text: "同意并继续" }
        Item {
            width: 100; height: 20; clip: true
            Text { y: 40; text: "裁掉" }
        }
    }
    Text { x: 10; y: 600; text: "窗外" }
    Text { x: 10; y: 270; text: "最后" }
})");
    ASSERT_TRUE(window);
    bool framed = false;
    QObject::connect(window.get(), &QQuickWindow::frameSwapped, [&] { framed = true; });
    window->show();
    ASSERT_TRUE(waitForMapped(*window));
    ASSERT_TRUE(waitUntil([&] { return framed; }));

    EXPECT_EQ(visibleTextStrings(window->contentItem()),
              (QStringList{QStringLiteral("左"), QStringLiteral("右"), QStringLiteral("同意并继续"),
                           QStringLiteral("最后")}));
    const QList<TextItem> texts = visibleTexts(window->contentItem());
    ASSERT_EQ(texts.size(), 4);
    EXPECT_LT(texts[1].sceneRect.bottom(), texts[2].sceneRect.top()) << "the button's label is below the row";
}

} // namespace
