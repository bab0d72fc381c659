// X11 properties and XTest input over Qt's own connection.
#include "platform/x11_window_state.h"
#include "support/ui_testing.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace ui_testing {
namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* c()
{
    return platform::x11Connection();
}

// The 32-bit values of a property of `type`.
QList<quint32> values(quint32 window, const char* name, xcb_atom_t type)
{
    const Reply<xcb_get_property_reply_t> reply{xcb_get_property_reply(
        c(), xcb_get_property(c(), 0, window, platform::x11Atom(name), type, 0, 1024), nullptr)};
    if (!reply || reply->type != type || reply->format != 32)
        return {};
    const auto* data = static_cast<const quint32*>(xcb_get_property_value(reply.get()));
    return QList<quint32>(data, data + reply->value_len);
}

void fakeInput(quint8 type, quint8 detail, QPoint at = {})
{
    xcb_test_fake_input(c(), type, detail, XCB_CURRENT_TIME, platform::x11RootWindow(), qint16(at.x()),
                        qint16(at.y()), 0);
    // A round trip: the server has carried the input out.
    Reply<xcb_get_input_focus_reply_t>{xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr)};
}

} // namespace

QByteArrayList atomListProperty(quint32 window, const char* name)
{
    QByteArrayList names;
    for (const quint32 atom : values(window, name, XCB_ATOM_ATOM)) {
        const Reply<xcb_get_atom_name_reply_t> n{
            xcb_get_atom_name_reply(c(), xcb_get_atom_name(c(), atom), nullptr)};
        if (n)
            names.append(QByteArray(xcb_get_atom_name_name(n.get()), xcb_get_atom_name_name_length(n.get())));
    }
    return names;
}

std::optional<quint32> cardinalProperty(quint32 window, const char* name)
{
    const QList<quint32> v = values(window, name, XCB_ATOM_CARDINAL);
    return v.isEmpty() ? std::nullopt : std::optional(v.first());
}

quint32 activeWindow()
{
    return values(platform::x11RootWindow(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW).value(0);
}

QRect windowGeometry(quint32 window)
{
    const Reply<xcb_translate_coordinates_reply_t> origin{xcb_translate_coordinates_reply(
        c(), xcb_translate_coordinates(c(), window, platform::x11RootWindow(), 0, 0), nullptr)};
    const Reply<xcb_get_geometry_reply_t> size{
        xcb_get_geometry_reply(c(), xcb_get_geometry(c(), window), nullptr)};
    return origin && size ? QRect(origin->dst_x, origin->dst_y, size->width, size->height) : QRect();
}

QRegion boundingShape(quint32 window)
{
    const Reply<xcb_shape_get_rectangles_reply_t> reply{xcb_shape_get_rectangles_reply(
        c(), xcb_shape_get_rectangles(c(), window, XCB_SHAPE_SK_BOUNDING), nullptr)};
    QRegion shape;
    const xcb_rectangle_t* rects = reply ? xcb_shape_get_rectangles_rectangles(reply.get()) : nullptr;
    for (int i = 0; reply && i < xcb_shape_get_rectangles_rectangles_length(reply.get()); ++i)
        shape += QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
    return shape;
}

int stackingPosition(quint32 window)
{
    const quint32 root = platform::x11RootWindow();
    for (;;) {
        const Reply<xcb_query_tree_reply_t> tree{
            xcb_query_tree_reply(c(), xcb_query_tree(c(), window), nullptr)};
        if (!tree)
            return -1;
        if (tree->parent != root) {
            window = tree->parent;
            continue;
        }
        const Reply<xcb_query_tree_reply_t> top{
            xcb_query_tree_reply(c(), xcb_query_tree(c(), root), nullptr)};
        const xcb_window_t* children = xcb_query_tree_children(top.get());
        return int(std::find(children, children + xcb_query_tree_children_length(top.get()), window) -
                   children);
    }
}

bool isViewable(quint32 window)
{
    const Reply<xcb_get_window_attributes_reply_t> reply{
        xcb_get_window_attributes_reply(c(), xcb_get_window_attributes(c(), window), nullptr)};
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

void movePointer(QPoint global)
{
    fakeInput(XCB_MOTION_NOTIFY, 0, global);
}

void click(QPoint global)
{
    movePointer(global);
    fakeInput(XCB_BUTTON_PRESS, 1);
    fakeInput(XCB_BUTTON_RELEASE, 1);
}

} // namespace ui_testing
