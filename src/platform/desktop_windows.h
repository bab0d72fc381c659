#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace platform {

// A top-level window the window manager manages, as the desktop lists it.
struct DesktopWindow {
    quint32 id = 0;
    // The client area in root coordinates, in device pixels.
    QRect frame_px;
    // From _NET_WM_PID; 0 when the window does not say.
    qint64 processIdentifier = 0;
    // _NET_WM_NAME as the window sets it (UTF-8), cut at kMaxTitleLength; empty when unset.
    QString title = {};
    static constexpr qsizetype kMaxTitleLength = 1024;
};

struct DesktopWindowList {
    // Every managed window, minimised ones and those on other desktops included.
    std::vector<DesktopWindow> windows;
    // The windows on screen (viewable, not hidden, on the current desktop), top-most first.
    std::vector<quint32> onScreenTopFirst;
    // The process owning the active window, if the window manager names one.
    std::optional<qint64> activeProcess;
    // Device pixels per point from the X resources' Xft.dpi / 96, clamped to 1–3.
    double scale = 1.0;
};

// The desktop's windows and their pictures.
//
// Thread safety: not thread-safe; one object is created, used and destroyed on one thread.
class DesktopWindows {
public:
    virtual ~DesktopWindows() = default;
    // Nothing when no display with an EWMH window manager is reachable.
    virtual std::optional<DesktopWindowList> list() = 0;
    // The picture of `area_px` (relative to the window's client area, device pixels). Nothing
    // when the window is gone, unmapped (minimised) or the area lies outside it. Without a
    // compositor a covered part shows what covers it.
    virtual std::optional<QImage> grab(quint32 window, const QRect& area_px) = 0;
    // Whether the last call found a display with a window manager.
    virtual bool reachable() const = 0;
};

// Text recognition of one picture.
//
// Thread safety: not thread-safe; one object per thread.
struct TextLine {
    QString text;
    // Bounding box in the picture's pixels.
    QRect box_px;
};

class TextRecognizer {
public:
    virtual ~TextRecognizer() = default;
    // The lines top to bottom; nothing when recognition failed (engine not loaded, bad picture).
    virtual std::optional<std::vector<TextLine>> recognize(const QImage& image) = 0;
};

} // namespace platform
