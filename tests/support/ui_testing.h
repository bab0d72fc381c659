#pragma once

#include <QByteArrayList>
#include <QRectF>
#include <QRegion>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

class QQuickItem;
class QQuickWindow;
class QWindow;

// What the UI tests share: the texts a view shows, screenshots read back by OCR, X11 window
// state and real pointer input (XTest). GUI thread only; X11 needs the xcb platform.
namespace ui_testing {

struct TextItem {
    QString text;
    QRectF sceneRect;
};
// The non-blank text items (QQuickText) under `root` that are not hidden, transparent, clipped
// away or outside the window, in reading order: rows top to bottom (an item whose vertical
// centre lies within a row's first item joins that row), each row left to right.
QList<TextItem> visibleTexts(QQuickItem* root);
QStringList visibleTextStrings(QQuickItem* root);
// The item named `name` under `root` (delegates included), or null.
QQuickItem* findItem(QQuickItem* root, const QString& name);
// Its centre on the screen; a test failure when there is none.
QPoint centreOfItem(QQuickItem* root, const char* name);

// Qt Quick renders in software from the next window on.
void useSoftwareRendering();
// Until a frame is drawn in which every text item kept its text and place (rows still move
// in the first frames after a map or a change).
bool waitForSettledTexts(QQuickWindow& window);
// Once its texts have settled: the window at 2x over an opaque backdrop (an offscreen grab has
// no alpha), saved as <name>.png in the screenshot folder; then each of `texts` read back by
// Tesseract from where its item is drawn (empty when not shown).
QStringList screenshot(QQuickWindow& window, const QString& name, const QStringList& texts = {});

// X11, root coordinates in device pixels.
QByteArrayList atomListProperty(quint32 window, const char* property);
std::optional<quint32> cardinalProperty(quint32 window, const char* property);
quint32 activeWindow();
QRect windowGeometry(quint32 window);
QRegion boundingShape(quint32 window); // window coordinates
// The place of the window's top-level ancestor among the root's children, 0 at the bottom.
int stackingPosition(quint32 window);
bool isViewable(quint32 window);
void movePointer(QPoint global);
void click(QPoint global);

// Runs the event loop until `condition` holds or the ceiling passes; the last answer.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds ceiling = std::chrono::milliseconds(10000));
// Viewable on the server and exposed in Qt.
bool waitForMapped(QWindow& window);

} // namespace ui_testing
