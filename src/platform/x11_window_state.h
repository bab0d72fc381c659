#pragma once

#include <QPoint>
#include <QtGlobal>
#include <optional>

struct xcb_connection_t;

// The desktop state of our own top-level windows on X11 (EWMH), over Qt's own xcb connection.
// Window ids are X11 window ids (QWindow::winId() on the xcb platform).
//
// Thread safety: GUI thread only. Without the xcb platform (offscreen tests, no display)
// every call does nothing and answers "no".
namespace platform {

// Qt's connection and its default screen's root window; null and 0 off xcb.
xcb_connection_t* x11Connection();
quint32 x11RootWindow();
// The atom of `name`, interned once per process; 0 off xcb.
quint32 x11Atom(const char* name);

// The _NET_WM_DESKTOP value that means "on every desktop".
inline constexpr quint32 kAllDesktops = 0xFFFFFFFF;

struct X11WindowStates {
    bool above = false;
    bool skipTaskbar = false;
    bool skipPager = false;
};

// Before a map: merges `states` into the window's _NET_WM_STATE property and sets its
// _NET_WM_DESKTOP to every desktop; a window manager reads both when it takes the window on.
void setStatesBeforeMap(quint32 window, X11WindowStates states);
// Once mapped: asks the window manager (client messages to the root) to add `states`.
void requestStates(quint32 window, X11WindowStates states);
// Once mapped: asks the window manager to show the window on every desktop. Needed after
// every map: several window managers (openbox among them) ignore _NET_WM_STATE_STICKY and
// drop the property when a window is withdrawn.
void requestAllDesktops(quint32 window);

// Whether a compositing manager runs (owns _NET_WM_CM_S0). Without one, transparent pixels
// of a window are drawn black.
bool compositorRunning();

struct PointerState {
    QPoint global_px; // root coordinates, device pixels
    bool buttonHeld = false;
};
// Where the pointer is and whether any button is held, in one round trip; also outside our
// own windows. Cheap enough for a 60 Hz tick.
std::optional<PointerState> queryPointer();

} // namespace platform
