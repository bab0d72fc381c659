// The whole program on the test display, used as a person would: the consent window and
// the main panel are found on the screen, read by OCR and clicked with the real pointer.
#include "platform/tesseract_text_recognizer.h"
#include "platform/x11_desktop_windows.h"
#include "program_e2e.h"
#include "support/ui_testing.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>
#include <optional>

using namespace ui_testing;

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

constexpr char kSeed[] = R"([{"artist": "周杰伦", "title": "晴天", "key": "B 大调"}])";
// The consent card's accept button, and the raised surface of the other buttons (Theme.qml).
constexpr QRgb kAcceptBlue = 0xff2f6ea8;
constexpr QRgb kRaised = 0xff2c3039;

// Pixels of `colour` (within a small tolerance: hover lightens a button a little) inside
// `area`, as their bounding box.
QRect regionOf(const QImage& image, QRgb colour, QRect area)
{
    area = area.intersected(image.rect());
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (std::abs(qRed(p) - qRed(colour)) < 10 && std::abs(qGreen(p) - qGreen(colour)) < 10 &&
                std::abs(qBlue(p) - qBlue(colour)) < 10)
                box = box.united(QRect(x, y, 1, 1));
        }
    }
    return box;
}

class PanelE2E : public ProgramE2E {
protected:
    void SetUp() override
    {
        startServices(kSeed);
        ASSERT_TRUE(announce(u("晴天"), u("周杰伦")));
        configure([this](SettingsStore& settings) {
            settings.setServerBaseURL(server->baseURL());
            settings.setAccessToken(QStringLiteral("e2e-token"));
        });
    }
    std::optional<int> stateKey() const
    {
        for (const QString& line : state().split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("key=")))
                return static_cast<int>(std::lround(line.mid(4).toDouble()));
        }
        return std::nullopt;
    }
    // The program's window on screen whose client area is `width` wide.
    std::optional<platform::DesktopWindow> windowOfWidth(int width)
    {
        const auto list = desktop.list();
        if (!list)
            return std::nullopt;
        for (const platform::DesktopWindow& w : list->windows) {
            const bool onScreen = std::find(list->onScreenTopFirst.begin(), list->onScreenTopFirst.end(),
                                            w.id) != list->onScreenTopFirst.end();
            if (w.processIdentifier == program.processId() && onScreen && w.frame_px.width() == width)
                return w;
        }
        return std::nullopt;
    }
    std::optional<platform::DesktopWindow> waitForWindow(int width)
    {
        std::optional<platform::DesktopWindow> found;
        waitUntil([&] { return (found = windowOfWidth(width)).has_value(); }, std::chrono::seconds(20));
        return found;
    }
    QImage picture(const platform::DesktopWindow& w)
    {
        movePointer(QPoint(1, 1)); // no hover on what we read
        waitUntil([] { return false; }, std::chrono::milliseconds(200));
        return desktop.grab(w.id, QRect(QPoint(), w.frame_px.size())).value_or(QImage());
    }
    // A button's label: light text on a coloured pill, made black on white first.
    QString read(const QImage& picture, const QRect& area)
    {
        QImage crop = picture.copy(area)
                          .scaled(area.size() * 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_Grayscale8);
        for (int y = 0; y < crop.height(); ++y) {
            uchar* row = crop.scanLine(y);
            for (int x = 0; x < crop.width(); ++x)
                row[x] = row[x] > 170 ? 0 : 255;
        }
        return ocr.readLine(crop).value_or(QString()).remove(QLatin1Char(' '));
    }
    // The consent window's two buttons, in window coordinates: {decline, accept}.
    std::pair<QRect, QRect> consentButtons(const QImage& picture)
    {
        const QRect accept = regionOf(picture, kAcceptBlue, picture.rect());
        const QRect row(0, accept.top(), accept.left(), accept.height());
        return {regionOf(picture, kRaised, row), accept};
    }

    platform::X11DesktopWindows desktop;
    platform::TesseractTextRecognizer ocr;
};

constexpr int kConsentWidth = 470 + 2 * 14;
constexpr int kPanelWidth = 420;

} // namespace

TEST_F(PanelE2E, ConsentByClickThenThePanelShowsTheSongAndPlusMovesTheKey)
{
    startProgram(Display::screen);
    const auto consent = waitForWindow(kConsentWidth);
    ASSERT_TRUE(consent) << "no consent window";
    const QImage consentPicture = picture(*consent);
    const auto [decline, accept] = consentButtons(consentPicture);
    ASSERT_FALSE(accept.isEmpty());
    EXPECT_EQ(read(consentPicture, accept), u("同意并继续"));
    EXPECT_EQ(read(consentPicture, decline), u("不同意"));

    click(consent->frame_px.topLeft() + accept.center());
    ASSERT_TRUE(waitUntil([&] {
        QFile f(settingsPath());
        return f.open(QIODevice::ReadOnly) && f.readAll().contains("privacy_consent_v1=true");
    }));
    EXPECT_TRUE(waitUntil([&] { return !windowOfWidth(kConsentWidth); }));
    // Consent lets the tracker resolve the song: B major reaches the plug-in.
    ASSERT_TRUE(waitUntil([&] { return stateKey() == 11; }, std::chrono::seconds(20)))
        << state().toStdString();

    // A second start, as from the application menu, opens the panel.
    QProcess second;
    launch(second, Display::screen);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    const auto panel = waitForWindow(kPanelWidth);
    ASSERT_TRUE(panel) << "no main panel";
    const QImage panelPicture = picture(*panel);
    const auto lines = ocr.recognize(panelPicture.scaled(panelPicture.size() * 2))
                           .value_or(std::vector<platform::TextLine>{});
    QStringList texts;
    std::optional<QRect> transposeRow;
    for (const platform::TextLine& line : lines) {
        QString text = line.text;
        texts.append(text.remove(QLatin1Char(' ')));
        if (text.contains(u("升降调")))
            transposeRow = QRect(line.box_px.topLeft() / 2, line.box_px.size() / 2);
    }
    EXPECT_TRUE(texts.join(u("|")).contains(u("晴天"))) << texts.join(u("|")).toStdString();
    EXPECT_TRUE(texts.join(u("|")).contains(u("B大调"))) << texts.join(u("|")).toStdString();
    ASSERT_TRUE(transposeRow) << texts.join(u("|")).toStdString();

    // "+" is the right-most round button on the "升降调" row.
    const QRect row(0, transposeRow->center().y() - 20, panelPicture.width(), 40);
    const QRect buttons = regionOf(panelPicture, kRaised, row);
    ASSERT_FALSE(buttons.isEmpty());
    click(panel->frame_px.topLeft() + QPoint(buttons.right() - 17, row.center().y()));
    EXPECT_TRUE(waitUntil([&] { return stateKey() == 0; })) << state().toStdString();
}

TEST_F(PanelE2E, DecliningConsentQuitsAndLeavesTheQuitRecord)
{
    startProgram(Display::screen);
    const auto consent = waitForWindow(kConsentWidth);
    ASSERT_TRUE(consent) << "no consent window";
    const auto [decline, accept] = consentButtons(picture(*consent));
    ASSERT_FALSE(decline.isEmpty());
    click(consent->frame_px.topLeft() + decline.center());
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(state().contains(QLatin1String("appRunning=0"))) << state().toStdString();
    QFile f(settingsPath());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_FALSE(f.readAll().contains("privacy_consent_v1=true"));
}
