// X11 properties and XTest input over Qt's own connection.
#include "platform/x11_window_state.h"
#include "support/ui_testing.h"

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

Reply<xcb_get_property_reply_t> property(quint32 window, const char* name, xcb_atom_t type)
{
    xcb_connection_t* c = platform::x11Connection();
    if (c == nullptr)
        return nullptr;
    return Reply<xcb_get_property_reply_t>{xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, platform::x11Atom(name), type, 0, 1024), nullptr)};
}

// One request and its reply: every request sent before has been carried out.
void sync(xcb_connection_t* c)
{
    Reply<xcb_get_input_focus_reply_t>{xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)};
}

void fakeInput(quint8 type, quint8 detail, QPoint at = {})
{
    xcb_connection_t* c = platform::x11Connection();
    if (c == nullptr)
        return;
    xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, platform::x11RootWindow(), qint16(at.x()),
                        qint16(at.y()), 0);
    sync(c);
}

} // namespace

std::optional<quint32> cardinalProperty(quint32 window, const char* name)
{
    const auto reply = property(window, name, XCB_ATOM_CARDINAL);
    if (!reply || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 || reply->value_len < 1)
        return std::nullopt;
    return *static_cast<const quint32*>(xcb_get_property_value(reply.get()));
}

QByteArrayList atomListProperty(quint32 window, const char* name)
{
    QByteArrayList names;
    const auto reply = property(window, name, XCB_ATOM_ATOM);
    if (!reply || reply->type != XCB_ATOM_ATOM || reply->format != 32)
        return names;
    xcb_connection_t* c = platform::x11Connection();
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    for (quint32 i = 0; i < reply->value_len; ++i) {
        const Reply<xcb_get_atom_name_reply_t> atomName{
            xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atoms[i]), nullptr)};
        if (atomName)
            names.append(QByteArray(xcb_get_atom_name_name(atomName.get()),
                                    xcb_get_atom_name_name_length(atomName.get())));
    }
    return names;
}

quint32 activeWindow()
{
    const auto reply = property(platform::x11RootWindow(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW);
    if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32 || reply->value_len < 1)
        return 0;
    return *static_cast<const quint32*>(xcb_get_property_value(reply.get()));
}

QRect windowGeometry(quint32 window)
{
    xcb_connection_t* c = platform::x11Connection();
    if (c == nullptr)
        return {};
    const Reply<xcb_translate_coordinates_reply_t> origin{xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, platform::x11RootWindow(), 0, 0), nullptr)};
    const Reply<xcb_get_geometry_reply_t> geometry{
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr)};
    if (!origin || !geometry)
        return {};
    return {origin->dst_x, origin->dst_y, geometry->width, geometry->height};
}

QRegion boundingShape(quint32 window)
{
    xcb_connection_t* c = platform::x11Connection();
    if (c == nullptr)
        return {};
    const Reply<xcb_shape_query_extents_reply_t> extents{
        xcb_shape_query_extents_reply(c, xcb_shape_query_extents(c, window), nullptr)};
    if (!extents || !extents->bounding_shaped)
        return {};
    const Reply<xcb_shape_get_rectangles_reply_t> reply{xcb_shape_get_rectangles_reply(
        c, xcb_shape_get_rectangles(c, window, XCB_SHAPE_SK_BOUNDING), nullptr)};
    QRegion shape;
    if (!reply)
        return shape;
    const xcb_rectangle_t* rects = xcb_shape_get_rectangles_rectangles(reply.get());
    for (int i = 0; i < xcb_shape_get_rectangles_rectangles_length(reply.get()); ++i)
        shape += QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
    return shape;
}

bool isOverrideRedirect(quint32 window)
{
    xcb_connection_t* c = platform::x11Connection();
    if (c == nullptr)
        return false;
    const Reply<xcb_get_window_attributes_reply_t> reply{
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr)};
    return reply && reply->override_redirect != 0;
}

int stackingPosition(quint32 window)
{
    xcb_connection_t* c = platform::x11Connection();
    if (c == nullptr)
        return -1;
    const quint32 root = platform::x11RootWindow();
    // Up to the child of the root.
    for (;;) {
        const Reply<xcb_query_tree_reply_t> tree{xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr)};
        if (!tree)
            return -1;
        if (tree->parent == root)
            break;
        window = tree->parent;
    }
    const Reply<xcb_query_tree_reply_t> top{xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr)};
    if (!top)
        return -1;
    const xcb_window_t* children = xcb_query_tree_children(top.get());
    for (int i = 0; i < xcb_query_tree_children_length(top.get()); ++i) {
        if (children[i] == window)
            return i;
    }
    return -1;
}

bool isViewable(quint32 window)
{
    xcb_connection_t* c = platform::x11Connection();
    if (c == nullptr)
        return false;
    const Reply<xcb_get_window_attributes_reply_t> reply{
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr)};
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

void movePointer(QPoint global)
{
    fakeInput(XCB_MOTION_NOTIFY, 0, global);
}

void pressButton(int button)
{
    fakeInput(XCB_BUTTON_PRESS, quint8(button));
}

void releaseButton(int button)
{
    fakeInput(XCB_BUTTON_RELEASE, quint8(button));
}

void click(QPoint global)
{
    movePointer(global);
    pressButton(1);
    releaseButton(1);
}

} // namespace ui_testing
