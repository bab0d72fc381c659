#pragma once

#include <QRegion>

class QWindow;

// How our floating windows sit on the X11 desktop: frameless, above the others, on every
// desktop, in the taskbar or not, taking focus or not.
//
// Thread safety: GUI thread only.

enum class WindowRole {
    mainPanel, // in the taskbar; shown without taking focus unless the caller activates it
    consent,   // takes focus when shown
    bar,       // out of the taskbar and pager; never takes focus
    tip,       // as a bar, and the pointer passes through it; not managed by the window manager
};

// Sets the Qt flags of `role` before the first show, and re-applies the desktop state
// (all desktops, above, skip taskbar/pager for bars and tips) after every map.
void attachWindowChrome(QWindow& window, WindowRole role);
bool compositorRunning();
// Without a compositor transparent pixels are black: clips the window to `outline`
// (window coordinates, device-independent); with one, clears any mask.
void setVisibleOutline(QWindow& window, const QRegion& outline);

// Keeps the outline of a rounded card `inset` inside the window, corner `radius`, as the
// window resizes (see setVisibleOutline).
void followRoundedOutline(QWindow& window, int inset, qreal radius);
