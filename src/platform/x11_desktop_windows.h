#pragma once

#include "platform/desktop_windows.h"

#include <QByteArray>
#include <memory>

namespace platform {

// The desktop over one xcb connection with the EWMH atoms. A broken connection (the X server
// went away) is dropped and a new one is opened on the next call.
//
// Thread safety: as DesktopWindows (one thread).
class X11DesktopWindows final : public DesktopWindows {
public:
    // `display` as in $DISPLAY; empty means $DISPLAY.
    explicit X11DesktopWindows(QByteArray display = {});
    ~X11DesktopWindows() override;
    X11DesktopWindows(const X11DesktopWindows&) = delete;
    X11DesktopWindows& operator=(const X11DesktopWindows&) = delete;

    std::optional<DesktopWindowList> list() override;
    std::optional<QImage> grab(quint32 window, const QRect& area_px) override;
    bool reachable() const override { return m_reachable; }

    // The scale from an X resource text ("Xft.dpi:\t192" gives 2); 1 without the resource.
    static double scaleFromResources(const QByteArray& resources);

private:
    struct Connection;
    Connection* connection();

    QByteArray m_display;
    std::unique_ptr<Connection> m_connection;
    bool m_reachable = false;
};

} // namespace platform
