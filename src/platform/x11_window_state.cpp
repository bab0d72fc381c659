#include "platform/x11_window_state.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace platform {
namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

constexpr quint32 kStateAdd = 1;
// Source indication: a normal application (EWMH).
constexpr quint32 kSourceApplication = 1;

void sendToRoot(xcb_connection_t* c, quint32 window, quint32 type, const std::array<quint32, 5>& data)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::memcpy(event.data.data32, data.data(), sizeof(event.data.data32));
    // The mask EWMH names for messages a window manager listens to on the root.
    xcb_send_event(c, 0, x11RootWindow(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

std::vector<quint32> stateAtoms(X11WindowStates states)
{
    std::vector<quint32> atoms;
    if (states.above)
        atoms.push_back(x11Atom("_NET_WM_STATE_ABOVE"));
    if (states.skipTaskbar)
        atoms.push_back(x11Atom("_NET_WM_STATE_SKIP_TASKBAR"));
    if (states.skipPager)
        atoms.push_back(x11Atom("_NET_WM_STATE_SKIP_PAGER"));
    return atoms;
}

} // namespace

xcb_connection_t* x11Connection()
{
    const auto* app = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = app ? app->connection() : nullptr;
    return c != nullptr && xcb_connection_has_error(c) == 0 ? c : nullptr;
}

quint32 x11RootWindow()
{
    xcb_connection_t* c = x11Connection();
    if (c == nullptr)
        return 0;
    // Qt and every window manager we meet use one X screen spanning all monitors.
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    return screens.rem > 0 ? screens.data->root : 0;
}

quint32 x11Atom(const char* name)
{
    xcb_connection_t* c = x11Connection();
    if (c == nullptr)
        return 0;
    // Atoms live as long as the server; Qt keeps one connection for the whole run.
    static std::map<std::string, quint32> known;
    const auto found = known.find(name);
    if (found != known.end())
        return found->second;
    const Reply<xcb_intern_atom_reply_t> reply{
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr)};
    if (!reply)
        return 0;
    known.emplace(name, reply->atom);
    return reply->atom;
}

void setStatesBeforeMap(quint32 window, X11WindowStates states)
{
    xcb_connection_t* c = x11Connection();
    if (c == nullptr || window == 0)
        return;
    const quint32 stateAtom = x11Atom("_NET_WM_STATE");
    // Merged, not replaced: Qt keeps its own states (above for stay-on-top) in the same list.
    std::vector<quint32> atoms;
    const Reply<xcb_get_property_reply_t> reply{xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, stateAtom, XCB_ATOM_ATOM, 0, 1024), nullptr)};
    if (reply && reply->type == XCB_ATOM_ATOM && reply->format == 32) {
        const auto* value = static_cast<const quint32*>(xcb_get_property_value(reply.get()));
        atoms.assign(value, value + xcb_get_property_value_length(reply.get()) / 4);
    }
    for (const quint32 atom : stateAtoms(states)) {
        if (std::find(atoms.begin(), atoms.end(), atom) == atoms.end())
            atoms.push_back(atom);
    }
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, stateAtom, XCB_ATOM_ATOM, 32,
                        static_cast<quint32>(atoms.size()), atoms.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, x11Atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32,
                        1, &kAllDesktops);
    xcb_flush(c);
}

void requestStates(quint32 window, X11WindowStates states)
{
    xcb_connection_t* c = x11Connection();
    if (c == nullptr || window == 0)
        return;
    const std::vector<quint32> atoms = stateAtoms(states);
    // A message carries two properties at most.
    for (std::size_t i = 0; i < atoms.size(); i += 2) {
        const quint32 second = i + 1 < atoms.size() ? atoms[i + 1] : 0;
        sendToRoot(c, window, x11Atom("_NET_WM_STATE"), {kStateAdd, atoms[i], second, kSourceApplication, 0});
    }
    xcb_flush(c);
}

void requestAllDesktops(quint32 window)
{
    xcb_connection_t* c = x11Connection();
    if (c == nullptr || window == 0)
        return;
    sendToRoot(c, window, x11Atom("_NET_WM_DESKTOP"), {kAllDesktops, kSourceApplication, 0, 0, 0});
    xcb_flush(c);
}

bool compositorRunning()
{
    xcb_connection_t* c = x11Connection();
    if (c == nullptr)
        return false;
    const Reply<xcb_get_selection_owner_reply_t> reply{
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, x11Atom("_NET_WM_CM_S0")), nullptr)};
    return reply && reply->owner != XCB_NONE;
}

std::optional<PointerState> queryPointer()
{
    xcb_connection_t* c = x11Connection();
    if (c == nullptr)
        return std::nullopt;
    const Reply<xcb_query_pointer_reply_t> reply{
        xcb_query_pointer_reply(c, xcb_query_pointer(c, x11RootWindow()), nullptr)};
    if (!reply)
        return std::nullopt;
    constexpr quint16 kAnyButton =
        XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3 | XCB_BUTTON_MASK_4 | XCB_BUTTON_MASK_5;
    return PointerState{QPoint(reply->root_x, reply->root_y), (reply->mask & kAnyButton) != 0};
}

} // namespace platform
