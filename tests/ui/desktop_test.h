#pragma once

#include "app/app_run.h"
#include "app/keylib_test_base.h"
#include "app/song_tracker.h"
#include "core/app_state.h"
#include "platform/x11_window_state.h"
#include "support/text.h"
#include "support/ui_testing.h"
#include "ui/desktop_ui.h"

#include <QQuickWindow>
#include <gtest/gtest.h>
#include <memory>

using namespace ui_testing;

// The texts of "a|b|c".
inline QStringList texts(const char* joined)
{
    return u(joined).split(u'|');
}

// A run in a temporary home (consent given; the key-library server on request) with its
// windows on the test display, rendered in software.
class DesktopTest : public KeylibTestBase {
protected:
    DesktopTest() : KeylibTestBase(R"({"songs": []})") {}
    static void SetUpTestSuite() { useSoftwareRendering(); }
    void SetUp() override
    {
        KeylibTestBase::SetUp();
        ASSERT_NE(platform::x11Connection(), nullptr) << "needs the xcb platform (tests/run-with-services)";
    }
    // The windows, then the run, then what their cancelled tasks leave on the event loop.
    void TearDown() override
    {
        desktop.reset();
        run.reset();
        finishServer();
    }
    // With the tracker stopped unless `tracking`: the state a test sets stays.
    void startDesktop(bool tracking = false)
    {
        run = std::make_unique<AppRun>(AppRun::Paths{home.settingsPath(), home.path(), home.path()});
        if (!tracking)
            run->tracker().stop();
        desktop = std::make_unique<DesktopUi>(*run);
    }
    void showSong(const char* key)
    {
        run->state().setCurrent(Song{u("晴天"), u("周杰伦")});
        run->state().setKeyText(u(key));
    }
    static quint32 id(const QWindow& window) { return quint32(window.winId()); }

    std::unique_ptr<AppRun> run;
    std::unique_ptr<DesktopUi> desktop;
};
