#include "platform/x11_desktop_windows.h"

#include <QList>
#include <algorithm>
#include <cstdlib>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace platform {
namespace {

constexpr double kBaseDpi = 96.0;
constexpr double kMinScale = 1.0;
constexpr double kMaxScale = 3.0;
constexpr quint32 kAllDesktops = 0xFFFFFFFF;

template <typename Reply> struct Freed {
    Reply* reply;
    ~Freed() { std::free(reply); }
    Reply* operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};

QByteArray rootResources(xcb_connection_t* c, xcb_window_t root)
{
    const auto cookie = xcb_get_property(c, 0, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0, 1 << 16);
    const Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(c, cookie, nullptr)};
    if (!reply || reply->format != 8)
        return {};
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.reply)),
                      xcb_get_property_value_length(reply.reply));
}

} // namespace

struct X11DesktopWindows::Connection {
    xcb_connection_t* c = nullptr;
    xcb_ewmh_connection_t ewmh{};
    int screenNumber = 0;
    bool atomsReady = false;

    ~Connection()
    {
        if (atomsReady)
            xcb_ewmh_connection_wipe(&ewmh);
        if (c != nullptr)
            xcb_disconnect(c);
    }
    xcb_window_t root() const { return ewmh.screens[screenNumber]->root; }

    // A window manager that keeps the EWMH lists announces itself on the root window.
    bool hasWindowManager()
    {
        xcb_window_t check = XCB_NONE;
        return xcb_ewmh_get_supporting_wm_check_reply(&ewmh, xcb_ewmh_get_supporting_wm_check(&ewmh, root()),
                                                      &check, nullptr) != 0 &&
               check != XCB_NONE;
    }

    std::vector<xcb_window_t> windows(xcb_get_property_cookie_t cookie)
    {
        xcb_ewmh_get_windows_reply_t reply{};
        if (xcb_ewmh_get_windows_reply(&ewmh, cookie, &reply, nullptr) == 0)
            return {};
        std::vector<xcb_window_t> out(reply.windows, reply.windows + reply.windows_len);
        xcb_ewmh_get_windows_reply_wipe(&reply);
        return out;
    }

    QString title(xcb_get_property_cookie_t cookie)
    {
        xcb_ewmh_get_utf8_strings_reply_t name{};
        if (xcb_ewmh_get_wm_name_reply(&ewmh, cookie, &name, nullptr) == 0)
            return {};
        // Invalid bytes become replacement characters; the text is only parsed, never trusted.
        const QString text =
            QString::fromUtf8(name.strings,
                              std::min<qsizetype>(name.strings_len, 4 * DesktopWindow::kMaxTitleLength))
                .left(DesktopWindow::kMaxTitleLength);
        xcb_ewmh_get_utf8_strings_reply_wipe(&name);
        return text;
    }

    bool isHidden(xcb_get_property_cookie_t cookie)
    {
        xcb_ewmh_get_atoms_reply_t state{};
        if (xcb_ewmh_get_wm_state_reply(&ewmh, cookie, &state, nullptr) == 0)
            return false;
        const bool hidden = std::find(state.atoms, state.atoms + state.atoms_len,
                                      ewmh._NET_WM_STATE_HIDDEN) != state.atoms + state.atoms_len;
        xcb_ewmh_get_atoms_reply_wipe(&state);
        return hidden;
    }
};

X11DesktopWindows::X11DesktopWindows(QByteArray display) : m_display(std::move(display)) {}

X11DesktopWindows::~X11DesktopWindows() = default;

X11DesktopWindows::Connection* X11DesktopWindows::connection()
{
    if (m_connection && xcb_connection_has_error(m_connection->c) != 0)
        m_connection.reset();
    if (m_connection)
        return m_connection.get();
    auto fresh = std::make_unique<Connection>();
    fresh->c = xcb_connect(m_display.isEmpty() ? nullptr : m_display.constData(), &fresh->screenNumber);
    if (xcb_connection_has_error(fresh->c) != 0)
        return nullptr;
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(fresh->c, &fresh->ewmh);
    if (cookies == nullptr || xcb_ewmh_init_atoms_replies(&fresh->ewmh, cookies, nullptr) == 0)
        return nullptr;
    fresh->atomsReady = true;
    if (fresh->screenNumber < 0 || fresh->screenNumber >= fresh->ewmh.nb_screens)
        return nullptr;
    m_connection = std::move(fresh);
    return m_connection.get();
}

std::optional<DesktopWindowList> X11DesktopWindows::list()
{
    Connection* conn = connection();
    m_reachable = conn != nullptr && conn->hasWindowManager();
    if (!m_reachable)
        return std::nullopt;
    xcb_connection_t* c = conn->c;
    xcb_ewmh_connection_t* ewmh = &conn->ewmh;
    const xcb_window_t root = conn->root();

    const auto clientCookie = xcb_ewmh_get_client_list(ewmh, conn->screenNumber);
    const auto stackingCookie = xcb_ewmh_get_client_list_stacking(ewmh, conn->screenNumber);
    const auto activeCookie = xcb_ewmh_get_active_window(ewmh, conn->screenNumber);
    const auto desktopCookie = xcb_ewmh_get_current_desktop(ewmh, conn->screenNumber);
    const std::vector<xcb_window_t> clients = conn->windows(clientCookie);
    const std::vector<xcb_window_t> stacking = conn->windows(stackingCookie);
    xcb_window_t active = XCB_NONE;
    if (xcb_ewmh_get_active_window_reply(ewmh, activeCookie, &active, nullptr) == 0)
        active = XCB_NONE;
    uint32_t currentDesktop = 0;
    const bool knowsDesktop =
        xcb_ewmh_get_current_desktop_reply(ewmh, desktopCookie, &currentDesktop, nullptr) != 0;

    // All requests first, then all replies: one round trip for the whole list.
    struct Pending {
        xcb_window_t window;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_property_cookie_t pid;
        xcb_get_property_cookie_t state;
        xcb_get_property_cookie_t desktop;
        xcb_get_property_cookie_t name;
    };
    std::vector<Pending> pending;
    pending.reserve(clients.size());
    for (xcb_window_t w : clients) {
        pending.push_back({w, xcb_get_geometry(c, w), xcb_translate_coordinates(c, w, root, 0, 0),
                           xcb_get_window_attributes(c, w), xcb_ewmh_get_wm_pid(ewmh, w),
                           xcb_ewmh_get_wm_state(ewmh, w), xcb_ewmh_get_wm_desktop(ewmh, w),
                           xcb_ewmh_get_wm_name(ewmh, w)});
    }
    const auto activePidCookie = xcb_ewmh_get_wm_pid(ewmh, active);

    DesktopWindowList out;
    QList<xcb_window_t> onScreen;
    for (const Pending& p : pending) {
        const Freed<xcb_get_geometry_reply_t> geometry{xcb_get_geometry_reply(c, p.geometry, nullptr)};
        const Freed<xcb_translate_coordinates_reply_t> origin{
            xcb_translate_coordinates_reply(c, p.origin, nullptr)};
        const Freed<xcb_get_window_attributes_reply_t> attributes{
            xcb_get_window_attributes_reply(c, p.attributes, nullptr)};
        uint32_t pid = 0;
        if (xcb_ewmh_get_wm_pid_reply(ewmh, p.pid, &pid, nullptr) == 0)
            pid = 0;
        const bool hidden = conn->isHidden(p.state);
        uint32_t desktop = kAllDesktops;
        if (xcb_ewmh_get_wm_desktop_reply(ewmh, p.desktop, &desktop, nullptr) == 0)
            desktop = kAllDesktops;
        const QString title = conn->title(p.name);
        if (!geometry || !origin || !attributes)
            continue; // the window went away meanwhile
        out.windows.push_back(
            {p.window, QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height), pid, title});
        const bool onCurrentDesktop = !knowsDesktop || desktop == kAllDesktops || desktop == currentDesktop;
        if (attributes->map_state == XCB_MAP_STATE_VIEWABLE && !hidden && onCurrentDesktop)
            onScreen.push_back(p.window);
    }
    uint32_t activePid = 0;
    if (xcb_ewmh_get_wm_pid_reply(ewmh, activePidCookie, &activePid, nullptr) != 0 && active != XCB_NONE &&
        activePid != 0)
        out.activeProcess = activePid;

    // The stacking list runs bottom to top.
    for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
        if (onScreen.contains(*it))
            out.onScreenTopFirst.push_back(*it);
    }
    out.scale = scaleFromResources(rootResources(c, root));
    return out;
}

std::optional<QImage> X11DesktopWindows::grab(quint32 window, const QRect& area_px)
{
    Connection* conn = connection();
    m_reachable = conn != nullptr;
    if (conn == nullptr || area_px.isEmpty() || area_px.x() < 0 || area_px.y() < 0 ||
        area_px.width() > 0x7FFF || area_px.height() > 0x7FFF)
        return std::nullopt;
    const auto cookie =
        xcb_get_image(conn->c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, static_cast<int16_t>(area_px.x()),
                      static_cast<int16_t>(area_px.y()), static_cast<uint16_t>(area_px.width()),
                      static_cast<uint16_t>(area_px.height()), ~0u);
    xcb_generic_error_t* error = nullptr;
    const Freed<xcb_get_image_reply_t> reply{xcb_get_image_reply(conn->c, cookie, &error)};
    std::free(error);
    if (!reply || (reply->depth != 24 && reply->depth != 32))
        return std::nullopt;
    const qsizetype rowBytes = qsizetype(area_px.width()) * 4;
    if (xcb_get_image_data_length(reply.reply) < rowBytes * area_px.height())
        return std::nullopt;
    // 24- and 32-bit visuals come as 32 bits per pixel, blue first: Qt's RGB32 on little-endian.
    QImage image(xcb_get_image_data(reply.reply), area_px.width(), area_px.height(), rowBytes,
                 QImage::Format_RGB32);
    return image.copy();
}

double X11DesktopWindows::scaleFromResources(const QByteArray& resources)
{
    for (const QByteArray& line : resources.split('\n')) {
        if (!line.startsWith("Xft.dpi:"))
            continue;
        bool ok = false;
        const double dpi = line.mid(8).trimmed().toDouble(&ok);
        if (!ok || !(dpi > 0))
            return kMinScale;
        return std::clamp(dpi / kBaseDpi, kMinScale, kMaxScale);
    }
    return kMinScale;
}

} // namespace platform
