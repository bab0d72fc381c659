// Screenshots of Qt Quick windows and their texts read back by Tesseract.
#include "platform/tesseract_text_recognizer.h"
#include "support/ui_testing.h"

#include <QDir>
#include <QPainter>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSGRendererInterface>
#include <algorithm>
#include <gtest/gtest.h>
#include <utility>

namespace ui_testing {
bool waitForSettledTexts(QQuickWindow& window)
{
    const auto snapshot = [&window] {
        QList<std::pair<QString, QRectF>> items;
        for (const TextItem& item : visibleTexts(window.contentItem()))
            items.append({item.text, item.sceneRect});
        return items;
    };
    auto before = snapshot();
    return waitUntil([&] {
        int frames = 0;
        const auto counter = QObject::connect(&window, &QQuickWindow::frameSwapped, [&frames] { ++frames; });
        window.update();
        waitUntil([&frames] { return frames > 0; }, std::chrono::milliseconds(500));
        QObject::disconnect(counter);
        const auto now = snapshot();
        return std::exchange(before, now) == now && !now.isEmpty();
    });
}

void useSoftwareRendering()
{
    if (QQuickWindow::sceneGraphBackend() != QLatin1String("software"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

QStringList screenshot(QQuickWindow& window, const QString& name, const QStringList& texts)
{
    EXPECT_TRUE(waitForSettledTexts(window)) << name.toStdString();
    const QSize size = window.size() * 2;
    QSharedPointer<QQuickItemGrabResult> grab = window.contentItem()->grabToImage(size);
    bool ready = false;
    if (grab)
        QObject::connect(grab.data(), &QQuickItemGrabResult::ready, [&ready] { ready = true; });
    window.update();
    EXPECT_TRUE(grab && waitUntil([&] { return ready; })) << name.toStdString();
    QImage shot(size, QImage::Format_RGB32);
    shot.fill(0xff5b6575); // a calm desktop colour, distinct from every surface of the theme
    QPainter painter(&shot);
    painter.fillRect(shot.rect(), window.color());
    if (ready)
        painter.drawImage(QRect(QPoint(0, 0), size), grab->image());
    painter.end();
    const QString folder = QStringLiteral(TONIVOX_SCREENSHOT_DIR);
    EXPECT_TRUE(QDir().mkpath(folder) && shot.save(QDir(folder).filePath(name + QStringLiteral(".png"))));

    // Loading the language models takes a while: once per test program.
    static platform::TesseractTextRecognizer recognizer;
    // Tesseract separates Chinese characters with spaces that the text does not have.
    static const QRegularExpression cjkGap(
        QStringLiteral("(?<=[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}])\\s+|"
                       "\\s+(?=[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}])"));
    const QList<TextItem> items = visibleTexts(window.contentItem());
    QStringList read;
    for (const QString& text : texts) {
        const auto item =
            std::find_if(items.begin(), items.end(), [&](const TextItem& i) { return i.text == text; });
        // A margin of 3 for glyphs that overhang their item.
        const QRectF area = item == items.end() ? QRectF() : item->sceneRect.adjusted(-3, -3, 3, 3);
        const QRect crop =
            QRectF(area.topLeft() * 2, area.size() * 2).toAlignedRect().intersected(shot.rect());
        read.append(crop.isEmpty() ? QString()
                                   : recognizer.readLine(shot.copy(crop)).value_or(QString()).remove(cjkGap));
    }
    return read;
}

} // namespace ui_testing
