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

namespace ui_testing {
namespace {

// A calm desktop colour, distinct from every surface colour of the theme.
constexpr QRgb kBackdrop = 0xff5b6575;
// Around a text item's rectangle in a crop, in scene units: room for glyphs that overhang.
constexpr qreal kCropMargin = 3;

platform::TesseractTextRecognizer& recognizer()
{
    // Loading the language models takes a while: once per test program.
    static platform::TesseractTextRecognizer instance;
    return instance;
}

} // namespace

void useSoftwareRendering()
{
    // Only before the scene graph starts; later calls would be ignored with a warning.
    if (QQuickWindow::sceneGraphBackend() != QLatin1String("software"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

QImage grabAt2x(QQuickWindow& window)
{
    QQuickItem* content = window.contentItem();
    const QSize size = window.size() * 2;
    QSharedPointer<QQuickItemGrabResult> grab = content->grabToImage(size);
    if (!grab)
        return {};
    bool ready = false;
    QObject::connect(grab.data(), &QQuickItemGrabResult::ready, [&ready] { ready = true; });
    window.update();
    if (!waitUntil([&] { return ready; }))
        return {};
    QImage shot(size, QImage::Format_RGB32);
    shot.fill(kBackdrop);
    QPainter painter(&shot);
    painter.fillRect(shot.rect(), window.color());
    painter.drawImage(QRect(QPoint(0, 0), size), grab->image());
    return shot;
}

QString saveScreenshot(const QImage& shot, const QString& folder, const QString& name)
{
    if (shot.isNull() || !QDir().mkpath(folder))
        return {};
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    return shot.save(path, "PNG") ? path : QString();
}

QString ocrLine(const QImage& crop)
{
    QString line = recognizer().readLine(crop).value_or(QString());
    // Tesseract separates Chinese characters with spaces that the text does not have.
    static const QRegularExpression cjkGap(
        QStringLiteral("(?<=[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}])\\s+|"
                       "\\s+(?=[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}])"));
    return line.remove(cjkGap);
}

QStringList ocrTextItems(const QImage& shot2x, const QList<TextItem>& items)
{
    QStringList lines;
    for (const TextItem& item : items) {
        const QRectF area = item.sceneRect.adjusted(-kCropMargin, -kCropMargin, kCropMargin, kCropMargin);
        const QRect crop =
            QRectF(area.topLeft() * 2, area.size() * 2).toAlignedRect().intersected(shot2x.rect());
        lines.append(crop.isEmpty() ? QString() : ocrLine(shot2x.copy(crop)));
    }
    return lines;
}

} // namespace ui_testing
