#include "ui/window_chrome.h"

#include "platform/x11_window_state.h"

#include <QEvent>
#include <QObject>
#include <QPainterPath>
#include <QVariant>
#include <QWindow>

namespace {

Qt::WindowFlags flagsFor(WindowRole role)
{
    const Qt::WindowFlags floating = Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    switch (role) {
    case WindowRole::mainPanel:
    case WindowRole::consent:
        return floating;
    case WindowRole::bar:
        // WM_HINTS input false: the window manager never gives it the focus.
        return floating | Qt::WindowDoesNotAcceptFocus;
    case WindowRole::tip:
        // Override-redirect, out of the window manager's hands: a reparenting manager's
        // frame would catch the clicks that the tip's empty input shape lets through
        // (openbox copies a client's bounding shape to its frame, not its input shape).
        // Such a window shows on every desktop, above the managed ones, in no taskbar.
        return Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
               Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput;
    }
    return floating;
}

platform::X11WindowStates statesFor(WindowRole role)
{
    switch (role) {
    case WindowRole::mainPanel:
    case WindowRole::consent:
        return {.above = true};
    case WindowRole::bar:
    case WindowRole::tip:
        return {.above = true, .skipTaskbar = true, .skipPager = true};
    }
    return {.above = true};
}

// Watches one window: the state goes on the window before each map and is asked of the
// window manager again once the map has happened (a withdrawn window loses it).
class WindowChrome final : public QObject {
public:
    WindowChrome(QWindow& window, WindowRole role) : QObject(&window), m_window(window), m_role(role)
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != &m_window)
            return false;
        // Show comes before Qt maps the window; the first expose after it, once mapped.
        if (event->type() == QEvent::Show) {
            m_awaitingMap = true;
            platform::setStatesBeforeMap(quint32(m_window.winId()), statesFor(m_role));
        } else if (event->type() == QEvent::Expose && m_awaitingMap && m_window.isExposed()) {
            m_awaitingMap = false;
            afterMap();
        }
        return false;
    }

private:
    void afterMap()
    {
        // No window manager takes messages about a tip; its properties tell the others.
        if (m_role == WindowRole::tip)
            return;
        const auto id = quint32(m_window.winId());
        platform::requestAllDesktops(id);
        platform::requestStates(id, statesFor(m_role));
        if (m_role == WindowRole::consent)
            m_window.requestActivate();
    }

    QWindow& m_window;
    WindowRole m_role;
    bool m_awaitingMap = false;
};

} // namespace

void attachWindowChrome(QWindow& window, WindowRole role)
{
    window.setFlags(flagsFor(role));
    // Qt's xcb platform maps such a window with _NET_WM_USER_TIME 0: the window manager
    // leaves the focus where it is.
    if (role != WindowRole::consent)
        window.setProperty("_q_showWithoutActivating", QVariant(true));
    new WindowChrome(window, role);
}

bool compositorRunning()
{
    return platform::compositorRunning();
}

void setVisibleOutline(QWindow& window, const QRegion& outline)
{
    window.setMask(compositorRunning() ? QRegion() : outline);
}

void followRoundedOutline(QWindow& window, int inset, qreal radius)
{
    const auto apply = [&window, inset, radius] {
        QPainterPath path;
        path.addRoundedRect(QRectF(QRect(QPoint(), window.size()).adjusted(inset, inset, -inset, -inset)),
                            radius, radius);
        setVisibleOutline(window, QRegion(path.toFillPolygon().toPolygon()));
    };
    QObject::connect(&window, &QWindow::widthChanged, &window, apply);
    QObject::connect(&window, &QWindow::heightChanged, &window, apply);
    apply();
}
