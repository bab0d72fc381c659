// The whole program on the test display, used as a person would: the consent window is
// found on the screen and clicked with the real pointer; a second start opens the panel.
// (What the windows show is read by the interface's own tests.)
#include "platform/x11_desktop_windows.h"
#include "program_e2e.h"
#include "support/ui_testing.h"

#include <algorithm>
#include <cmath>

using namespace ui_testing;

namespace {

constexpr char kSeed[] = R"([{"artist": "周杰伦", "title": "晴天", "key": "B 大调"}])";
// The consent card's accept button, and the raised surface of the other buttons (Theme.qml).
constexpr QRgb kAcceptBlue = 0xff2f6ea8;
constexpr QRgb kRaised = 0xff2c3039;
constexpr int kConsentWidth = 470 + 2 * 14;
constexpr int kPanelWidth = 420;

// The bounding box of the pixels near `colour` (hover lightens a button a little) in `area`.
QRect regionOf(const QImage& image, QRgb colour, QRect area)
{
    const auto near = [&](QRgb p) {
        return std::max({std::abs(qRed(p) - qRed(colour)), std::abs(qGreen(p) - qGreen(colour)),
                         std::abs(qBlue(p) - qBlue(colour))}) < 10;
    };
    QRect box;
    area = area.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            box |= near(image.pixel(x, y)) ? QRect(x, y, 1, 1) : QRect();
    return box;
}

class PanelE2E : public ProgramE2E {
protected:
    void SetUp() override
    {
        startServices(kSeed);
        ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
        configure([](SettingsStore& settings) { settings.setPrivacyConsent(false); });
    }
    // The program's window on screen whose client area is `width` wide, once it is there.
    std::optional<platform::DesktopWindow> waitForWindow(int width)
    {
        std::optional<platform::DesktopWindow> found;
        waitUntil(
            [&] {
                const auto list = desktop.list();
                for (const platform::DesktopWindow& w :
                     list ? list->windows : std::vector<platform::DesktopWindow>{})
                    if (w.processIdentifier == program.processId() && w.frame_px.width() == width &&
                        std::ranges::find(list->onScreenTopFirst, w.id) != list->onScreenTopFirst.end())
                        found = w;
                return found.has_value();
            },
            std::chrono::seconds(20));
        return found;
    }
    // Clicks the consent window's accept or decline button; false when there is none.
    bool clickConsent(bool accept)
    {
        const auto consent = waitForWindow(kConsentWidth);
        if (!consent)
            return false;
        movePointer(QPoint(1, 1)); // no hover on what we look for
        QRect button;
        waitUntil([&] {
            const QImage picture =
                desktop.grab(consent->id, QRect(QPoint(), consent->frame_px.size())).value_or(QImage());
            const QRect blue = regionOf(picture, kAcceptBlue, picture.rect());
            button =
                accept ? blue : regionOf(picture, kRaised, QRect(0, blue.top(), blue.left(), blue.height()));
            return !blue.isEmpty() && !button.isEmpty();
        });
        if (!button.isEmpty())
            click(consent->frame_px.topLeft() + button.center());
        return !button.isEmpty();
    }
    bool consentStored() const { return SettingsStore(settingsPath()).privacyConsent(); }

    platform::X11DesktopWindows desktop;
};

} // namespace

// Declining quits with the quit record; at the next start accepting lets the tracker resolve
// the song, and a second start, as from the application menu, opens the panel.
TEST_F(PanelE2E, ConsentDeclinedQuitsAcceptedResolvesTheSongThenASecondStartOpensThePanel)
{
    startProgram(Display::screen);
    ASSERT_TRUE(clickConsent(false)) << "no consent window";
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(stateHas("appRunning=0")) << state().toStdString();
    EXPECT_FALSE(consentStored());

    startProgram(Display::screen);
    ASSERT_TRUE(clickConsent(true)) << "no consent window";
    ASSERT_TRUE(waitUntil([&] { return consentStored(); }));
    // B major reaches the plug-in.
    ASSERT_TRUE(waitUntil([&] { return stateHas("key=11.0000") && stateHas("scale=1.0000"); },
                          std::chrono::seconds(20)))
        << state().toStdString();
    QProcess second;
    launch(second, Display::screen);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(waitForWindow(kPanelWidth)) << "no main panel";
}
