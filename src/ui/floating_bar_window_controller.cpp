#include "ui/floating_bar_window_controller.h"

#include "core/app_state.h"
#include "ui/capsule_bar_controller.h"
#include "ui/capsule_layout.h"
#include "ui/hover_tip.h"
#include "ui/qml_views.h"
#include "ui/window_chrome.h"

#include <QGuiApplication>
#include <QScreen>

namespace {
// The capsule's pill (CapsuleBar.qml) and where it first appears: centred, above the
// bottom of the available area.
constexpr qreal kCapsuleRadius = 28;
constexpr int kCapsuleBottomMargin = 24;
} // namespace

FloatingBarWindowController::FloatingBarWindowController(QQmlEngine& engine, AppState& state,
                                                         CapsuleBarController& capsule, HoverTip& hoverTip,
                                                         std::function<void()> hideMainPanel, QObject* parent)
    : QObject(parent), m_engine(engine), m_state(state), m_capsule(capsule), m_hoverTip(hoverTip),
      m_hideMainPanel(std::move(hideMainPanel))
{
    connect(&state, &AppState::floatingBarStyleChanged, this, &FloatingBarWindowController::applyStyle);
}

FloatingBarWindowController::~FloatingBarWindowController()
{
    delete m_capsuleWindow.data();
}

void FloatingBarWindowController::show()
{
    m_visible = true;
    switch (m_state.floatingBarStyle()) {
    case FloatingBarStyle::capsule:
        if (m_island.hide)
            m_island.hide();
        showCapsule();
        return;
    case FloatingBarStyle::notch:
        hideCapsule();
        if (m_hideMainPanel)
            m_hideMainPanel();
        if (m_island.show)
            m_island.show();
        return;
    }
}

void FloatingBarWindowController::applyStyle()
{
    if (m_visible)
        show();
}

void FloatingBarWindowController::showCapsule()
{
    if (!m_capsuleWindow) {
        m_capsuleWindow =
            qml_views::createWindow(m_engine, QStringLiteral("CapsuleBar.qml"),
                                    {{QStringLiteral("app"), QVariant::fromValue<QObject*>(&m_state)},
                                     {QStringLiteral("capsule"), QVariant::fromValue<QObject*>(&m_capsule)}});
        if (!m_capsuleWindow)
            return;
        attachWindowChrome(*m_capsuleWindow, WindowRole::bar);
        m_capsuleWindow->resize(capsule_layout::kBarWidth, capsule_layout::kBarHeight);
        followRoundedOutline(*m_capsuleWindow, 0, kCapsuleRadius);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            m_capsuleWindow->setPosition(area.center().x() - capsule_layout::kBarWidth / 2,
                                         area.bottom() - kCapsuleBottomMargin - capsule_layout::kBarHeight);
        }
    }
    m_capsuleWindow->show();
}

void FloatingBarWindowController::hideCapsule()
{
    if (!m_capsuleWindow)
        return;
    m_hoverTip.hide();
    m_capsule.clearPointer();
    m_capsuleWindow->hide();
}
