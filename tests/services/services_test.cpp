// Proves that each test service started by tests/run-with-services is really up.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace {

bool clientListContains(xcb_ewmh_connection_t* ewmh, xcb_window_t window)
{
    xcb_ewmh_get_windows_reply_t list;
    if (!xcb_ewmh_get_client_list_reply(ewmh, xcb_ewmh_get_client_list(ewmh, 0), &list, nullptr))
        return false;
    bool found = false;
    for (uint32_t i = 0; i < list.windows_len; ++i)
        found = found || list.windows[i] == window;
    xcb_ewmh_get_windows_reply_wipe(&list);
    return found;
}

} // namespace

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

    bool listed = false;
    for (int i = 0; i < 100 && !listed; ++i) {
        listed = clientListContains(&ewmh, window);
        if (!listed)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(listed) << "_NET_CLIENT_LIST never listed the window";

    xcb_destroy_window(conn, window);
    xcb_ewmh_connection_wipe(&ewmh);
    xcb_disconnect(conn);
}

TEST(TestServices, SessionBusLetsUsOwnAName)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected()) << qPrintable(bus.lastError().message());
    const QString name = QStringLiteral("org.tonivox.ServicesTest");
    ASSERT_TRUE(bus.registerService(name));
    EXPECT_TRUE(bus.interface()->isServiceRegistered(name).value());
    EXPECT_TRUE(bus.unregisterService(name));
}

TEST(TestServices, PulseAudioListsTheLoopMonitor)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"),
                {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")});
    ASSERT_TRUE(pactl.waitForFinished(10000));
    ASSERT_EQ(pactl.exitCode(), 0) << pactl.readAllStandardError().toStdString();
    const QString out = QString::fromUtf8(pactl.readAllStandardOutput());
    EXPECT_TRUE(out.contains(QStringLiteral("\tloop.monitor\t"))) << out.toStdString();
}
