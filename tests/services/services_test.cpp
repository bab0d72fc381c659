// tests/run-with-services waits for the bus, the sound server and the window manager's
// check window; this proves that the window manager also manages what is mapped.
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

TEST(TestServices, WindowManagerListsAMappedWindow)
{
    xcb_connection_t* conn = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(conn), 0) << "no X display";
    xcb_ewmh_connection_t ewmh;
    ASSERT_TRUE(xcb_ewmh_init_atoms_replies(&ewmh, xcb_ewmh_init_atoms(conn, &ewmh), nullptr));
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    const xcb_window_t window = xcb_generate_id(conn);
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, window, screen->root, 10, 10, 200, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_map_window(conn, window);
    xcb_flush(conn);
    const auto listed = [&] {
        xcb_ewmh_get_windows_reply_t list;
        if (!xcb_ewmh_get_client_list_reply(&ewmh, xcb_ewmh_get_client_list(&ewmh, 0), &list, nullptr))
            return false;
        const bool found = std::find(list.windows, list.windows + list.windows_len, window) !=
                           list.windows + list.windows_len;
        xcb_ewmh_get_windows_reply_wipe(&list);
        return found;
    };
    EXPECT_TRUE(QTest::qWaitFor(listed, 5000)) << "_NET_CLIENT_LIST never listed the window";
    xcb_ewmh_connection_wipe(&ewmh);
    xcb_disconnect(conn);
}
