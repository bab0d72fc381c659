#include "ui/notch_bar_window_controller.h"

#include "core/app_state.h"
#include "platform/x11_window_state.h"
#include "pluginlink/tuning_controls.h"
#include "ui/diagnostics_saver.h"
#include "ui/hover_tip.h"
#include "ui/island_update_check.h"
#include "ui/main_panel_controller.h"
#include "ui/notch_bar_visibility.h"
#include "ui/qml_views.h"
#include "ui/window_chrome.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPainterPath>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>

Q_LOGGING_CATEGORY(lcIsland, "tonivox.ui.island")

namespace {

// Root coordinates in device pixels to Qt's device-independent frame (Qt keeps each
// screen's top-left corner where it is and scales from there).
QPointF deviceIndependent(QPoint devicePx)
{
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect frame = screen->geometry();
        const qreal ratio = screen->devicePixelRatio();
        const QRectF native(frame.topLeft(), QSizeF(frame.size()) * ratio);
        if (native.contains(devicePx))
            return QPointF(frame.topLeft()) + QPointF(devicePx - frame.topLeft()) / ratio;
    }
    return devicePx;
}

QScreen* screenUnderPointer()
{
    if (QScreen* screen = QGuiApplication::screenAt(QCursor::pos()))
        return screen;
    return QGuiApplication::primaryScreen();
}

} // namespace

NotchBarWindowController::NotchBarWindowController(Deps deps, QObject* parent)
    : QObject(parent), m_deps(std::move(deps)),
      m_visibility(std::make_unique<NotchBarVisibility>([] { return std::chrono::steady_clock::now(); })),
      m_updates(std::make_unique<IslandUpdateCheck>())
{
    m_tick.setInterval(NotchBarVisibility::kTickPeriod);
    m_tick.setTimerType(Qt::CoarseTimer);
    connect(&m_tick, &QTimer::timeout, this, &NotchBarWindowController::tick);
    connect(m_visibility.get(), &NotchBarVisibility::expandedChanged, this,
            &NotchBarWindowController::onExpandedChanged);
    connect(m_visibility.get(), &NotchBarVisibility::panelHeightChanged, this,
            &NotchBarWindowController::place);
    // The save dialog of "导出诊断信息" is up while the saver works: the card stays open.
    connect(&m_deps.diagnostics, &DiagnosticsSaver::workingChanged, this,
            [this] { m_visibility->setModalPresenting(m_deps.diagnostics.working()); });
    for (auto signal : {&QGuiApplication::screenAdded, &QGuiApplication::screenRemoved,
                        &QGuiApplication::primaryScreenChanged})
        connect(qApp, signal, this, [this] {
            if (m_shown)
                rebuildForScreenChange();
        });
}

NotchBarWindowController::~NotchBarWindowController() = default;

QQuickWindow* NotchBarWindowController::window() const
{
    return m_window.get();
}

void NotchBarWindowController::build()
{
    QQmlComponent component(&m_deps.engine, qml_views::url(QStringLiteral("NotchBar.qml")));
    QObject* created = component.createWithInitialProperties(
        {{QStringLiteral("app"), QVariant::fromValue<QObject*>(&m_deps.state)},
         {QStringLiteral("panel"), QVariant::fromValue<QObject*>(&m_deps.panel)},
         {QStringLiteral("tuning"), QVariant::fromValue<QObject*>(&m_deps.tuning)},
         {QStringLiteral("diagnostics"), QVariant::fromValue<QObject*>(&m_deps.diagnostics)},
         {QStringLiteral("hoverTip"), QVariant::fromValue<QObject*>(&m_deps.hoverTip)},
         {QStringLiteral("visibility"), QVariant::fromValue<QObject*>(m_visibility.get())},
         {QStringLiteral("updates"), QVariant::fromValue<QObject*>(m_updates.get())}});
    m_window.reset(qobject_cast<QQuickWindow*>(created));
    if (!m_window) {
        delete created;
        qCCritical(lcIsland).noquote() << "NotchBar.qml did not load:" << component.errorString();
        return;
    }
    QQmlEngine::setObjectOwnership(m_window.get(), QQmlEngine::CppOwnership);
    m_window->setObjectName(QStringLiteral("notchBar"));
    attachWindowChrome(*m_window, WindowRole::bar);
    // Collapsed, the pointer passes through: the tick opens the card, not a click.
    m_window->setFlag(Qt::WindowTransparentForInput, true);
    connect(m_window.get(), SIGNAL(openMainPanelRequested()), this, SLOT(openMainPanel()));
    m_island = m_window->findChild<QQuickItem*>(QStringLiteral("island"));
    if (m_island) {
        for (auto signal : {&QQuickItem::xChanged, &QQuickItem::yChanged, &QQuickItem::widthChanged,
                            &QQuickItem::heightChanged})
            connect(m_island.data(), signal, this, &NotchBarWindowController::updateOutline);
    }
}

void NotchBarWindowController::show()
{
    if (m_shown)
        return;
    if (!m_window)
        build();
    if (!m_window)
        return;
    m_shown = true;
    rebuildForScreenChange();
    m_visibility->requestResize();
    place();
    updateOutline();
    m_window->show();
    // Without an X server (offscreen) there is no pointer to follow.
    if (platform::x11Connection() != nullptr)
        m_tick.start(NotchBarVisibility::kTickPeriod);
    if (qEnvironmentVariable("MX_NOTCH_EXPANDED") == QLatin1String("1"))
        expand();
}

void NotchBarWindowController::hide()
{
    m_shown = false;
    m_tick.stop();
    m_visibility->hide();
    m_deps.hoverTip.hide();
    if (m_window)
        m_window->hide();
}

void NotchBarWindowController::expand()
{
    m_visibility->expand();
}

void NotchBarWindowController::rebuildForScreenChange()
{
    followScreen(screenUnderPointer());
    if (!m_screen)
        return;
    m_model = NotchBarModel::forScreen(m_screen->availableGeometry());
    if (!m_window)
        return;
    m_window->setScreen(m_screen);
    m_window->setProperty("pillWidth", m_model.notchWidth);
    m_window->setProperty("pillHeight", m_model.menuBarHeight);
    m_window->setProperty("cardWidth", m_model.panelWidth(m_model.islandCardWidth));
    m_window->setProperty("topOffset", m_model.islandTopOffset);
    m_window->setProperty("cardRadius", m_model.islandCardRadius);
    m_window->setProperty("mainHeight", m_model.expandedHeight(NotchPage::main));
    m_window->setProperty("settingsHeight", m_model.expandedHeight(NotchPage::settings));
    place();
}

void NotchBarWindowController::followScreen(QScreen* screen)
{
    if (screen == m_screen)
        return;
    for (const auto& connection : m_screenConnections)
        disconnect(connection);
    m_screenConnections.clear();
    m_screen = screen;
    if (!screen)
        return;
    const auto rebuild = [this] {
        if (m_shown)
            rebuildForScreenChange();
    };
    m_screenConnections = {connect(screen, &QScreen::availableGeometryChanged, this, rebuild),
                           connect(screen, &QScreen::geometryChanged, this, rebuild)};
}

void NotchBarWindowController::place()
{
    if (!m_window || m_model.available.isEmpty())
        return;
    const int fitted = m_model.baseHeight() + m_visibility->contentHeight() + NotchBarModel::kPanelSlack;
    const int height = m_visibility->panelHeight() > 0 ? m_visibility->panelHeight() : fitted;
    m_window->setGeometry(m_model.panelRect(height));
}

void NotchBarWindowController::tick()
{
    const std::optional<platform::PointerState> pointer = platform::queryPointer();
    if (!pointer) {
        // A failed query is no reason to ask sixty times a second.
        m_tick.setInterval(NotchBarVisibility::kFarTickPeriod);
        return;
    }
    const NotchBarVisibility::Pointer sample{deviceIndependent(pointer->global_px), pointer->buttonHeld};
    const NotchBarVisibility::Zones zones{QRectF(m_model.hotZone()),
                                          QRectF(m_model.stayRect(m_visibility->page()))};
    m_visibility->tick(sample, zones);
    const auto delay = m_visibility->nextTickDelay(sample, zones);
    if (m_tick.intervalAsDuration() != delay)
        m_tick.setInterval(delay);
}

void NotchBarWindowController::onExpandedChanged()
{
    if (!m_window)
        return;
    const bool open = m_visibility->expanded();
    // Qt's xcb window takes its input region from its size at this moment: opening, the
    // window has already grown to its tallest, so the region covers every page.
    m_window->setFlag(Qt::WindowTransparentForInput, !open);
    if (open && m_shown && platform::x11Connection() != nullptr)
        m_tick.start(NotchBarVisibility::kTickPeriod);
    if (!open)
        m_deps.hoverTip.hide();
    updateOutline();
}

void NotchBarWindowController::updateOutline()
{
    if (!m_window || !m_island)
        return;
    const QRectF shape(m_island->x(), m_island->y(), m_island->width(), m_island->height());
    const qreal radius = m_island->property("radius").toReal();
    QPainterPath path;
    path.addRoundedRect(shape, radius, radius);
    setVisibleOutline(*m_window, QRegion(path.toFillPolygon().toPolygon()));
}

void NotchBarWindowController::openMainPanel()
{
    if (m_deps.openMainPanel)
        m_deps.openMainPanel();
}
