#pragma once

#include <QByteArrayList>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QRectF>
#include <QRegion>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

class QQuickItem;
class QQuickWindow;
class QWindow;

// What the UI tests share: the texts a view shows, screenshots read back by OCR, X11 window
// properties and real pointer input (XTest), and waiting for any of these to happen.
// GUI thread only; the X11 calls need the xcb platform (tests/run-with-services).
namespace ui_testing {

// ---- Texts on screen

struct TextItem {
    QString text;
    QRectF sceneRect; // window coordinates, device-independent
};
// Every text item (Text, Label, the labels inside buttons and menus: anything inheriting
// QQuickText) under `root` that is effectively visible: visible, with opacity > 0 along its
// ancestry, not clipped away by a clipping ancestor, inside the window, non-blank. Ordered
// top to bottom, and left to right within a row (items whose vertical centres share a row).
QList<TextItem> visibleTexts(QQuickItem* root);
QStringList visibleTextStrings(QQuickItem* root);
// The item named `name` in the item tree under `root` (delegates included), or null.
QQuickItem* findItem(QQuickItem* root, const QString& name);
// Its centre on the screen, for the pointer; a failure when there is no such item.
QPoint centreOfItem(QQuickItem* root, const char* name);

// ---- Screenshots and OCR

// Qt Quick renders in software from the next window on (as QT_QUICK_BACKEND=software does).
void useSoftwareRendering();
// The window's content rendered at twice its size, drawn over an opaque backdrop (an
// offscreen grab has no alpha, and the desktop behind a window is never transparent).
// Null when the frame did not come.
QImage grabAt2x(QQuickWindow& window);
// Writes `shot` to `<folder>/<name>.png`, making the folder; the path, or empty on failure.
QString saveScreenshot(const QImage& shot, const QString& folder, const QString& name);
// One line of text read by Tesseract (chi_sim+eng, single-line mode; greyscale, inverted
// when light on dark), with the spaces it puts between CJK characters removed.
QString ocrLine(const QImage& crop);
// ocrLine of each item's rectangle (doubled, with a margin) in a grabAt2x() picture.
QStringList ocrTextItems(const QImage& shot2x, const QList<TextItem>& items);

// ---- X11 (root coordinates, device pixels)

std::optional<quint32> cardinalProperty(quint32 window, const char* property);
// The names of the atoms in an ATOM[] property such as _NET_WM_STATE.
QByteArrayList atomListProperty(quint32 window, const char* property);
// The root's _NET_ACTIVE_WINDOW; 0 when none.
quint32 activeWindow();
// The window's frame on the server: root position and size.
QRect windowGeometry(quint32 window);
// The window's bounding shape (X shape extension) in window pixels; empty when unshaped.
QRegion boundingShape(quint32 window);
// Out of the window manager's hands (override-redirect).
bool isOverrideRedirect(quint32 window);
// Where the window's top-level ancestor (its frame, when managed) stands among the root's
// children, 0 at the bottom; -1 when unknown.
int stackingPosition(quint32 window);
// Mapped and viewable, as the X server sees it.
bool isViewable(quint32 window);
void movePointer(QPoint global);
void pressButton(int button = 1);
void releaseButton(int button = 1);
// Moves there, presses and releases the first button.
void click(QPoint global);

// ---- Waiting

inline constexpr std::chrono::milliseconds kWaitCeiling{10000};
// Runs the event loop until `condition` holds (checked after each short slice) or the
// ceiling passes; the condition's last answer.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds ceiling = kWaitCeiling);
// The window is viewable on the server and exposed in Qt.
bool waitForMapped(QWindow& window, std::chrono::milliseconds ceiling = kWaitCeiling);
// Until the window has drawn a frame in which its text items kept their texts and places
// (rows still move in the first frames after a map or a change): read or grab after this.
bool waitForSettledTexts(QQuickWindow& window, std::chrono::milliseconds ceiling = kWaitCeiling);
bool waitForCardinal(quint32 window, const char* property, quint32 value,
                     std::chrono::milliseconds ceiling = kWaitCeiling);
bool waitForAtom(quint32 window, const char* property, const QByteArray& atom,
                 std::chrono::milliseconds ceiling = kWaitCeiling);

} // namespace ui_testing
