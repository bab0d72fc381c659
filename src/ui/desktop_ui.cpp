#include "ui/desktop_ui.h"

#include "app/app_delegate.h"
#include "app/app_run.h"
#include "core/app_state.h"
#include "platform/audio_component_lookup.h"
#include "players/player_activity_monitor.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/tuning_controls.h"
#include "transpose/accompaniment_loop.h"
#include "ui/application_activation.h"
#include "ui/auto_tune_presence.h"
#include "ui/capsule_bar_controller.h"
#include "ui/consent_controller.h"
#include "ui/diagnostics_saver.h"
#include "ui/floating_bar_window_controller.h"
#include "ui/hover_tip.h"
#include "ui/main_panel_controller.h"
#include "ui/notch_bar_window_controller.h"
#include "ui/panel_geometry.h"
#include "ui/qml_views.h"
#include "ui/window_chrome.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QScreen>

namespace {
// The corner radius the panel and the consent card draw (MainPanel.qml, ConsentWindow.qml).
constexpr qreal kPanelRadius = 18;
} // namespace

namespace {

// The report reads the player readers, which belong to the monitor's executor: the
// gathering runs there, between two polls.
DiagnosticsSaver::Gather gatherWith(AppRun& run)
{
    return [&run](diagnostic_report::Facts facts) {
        const DiagnosticExporter::Sources sources = run.diagnosticSources();
        return run.playerMonitor().runWithReaders([facts, sources]() mutable {
            DiagnosticExporter::gatherSystem(facts, sources);
            return DiagnosticExporter::textOf(facts, sources);
        });
    };
}

void centreOnScreen(QWindow& window)
{
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame(QPoint(), window.size());
    frame.moveCenter(screen->availableGeometry().center());
    window.setPosition(frame.topLeft());
}

} // namespace

DesktopUi::DesktopUi(AppRun& run, QObject* parent)
    : QObject(parent), m_run(run), m_engine(std::make_unique<QQmlEngine>()),
      m_presence(std::make_unique<AutoTunePresence>(platform::defaultAudioComponentLookup())),
      m_diagnostics(std::make_unique<DiagnosticsSaver>(run.state(), &run.syncer(), gatherWith(run))),
      m_panel(std::make_unique<MainPanelController>(run.state(), run.tracker(), run.syncer(), *m_presence)),
      m_consent(std::make_unique<ConsentController>()),
      m_activation(std::make_unique<ApplicationActivation>())
{
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/ui/icons/org.tonivox.Tonivox.svg")));
    m_panel->setAccompanimentLoop(&run.accompanimentLoop());
    qml_views::chooseRenderer();
    qml_views::prepareEngine(*m_engine);
    m_hoverTip = std::make_unique<HoverTip>(*m_engine);
    // The link line reads a cached answer; the scan runs now and whenever the self-check
    // has something to say.
    m_presence->refresh();
    connect(&run.state(), &AppState::keyLinkWarningChanged, m_presence.get(), &AutoTunePresence::refresh);

    // Reachable first: a second start waits for this name, and its request is handled by
    // the event loop, after the panel below exists.
    connect(m_activation.get(), &ApplicationActivation::activateRequested, this, &DesktopUi::showMainPanel);
    connect(m_activation.get(), &ApplicationActivation::actionRequested, this,
            [this](const QString& name) { m_run.accompanimentLoop().performAction(name); });
    m_activation->registerOnSessionBus();

    // The launch shows the bar before it creates the panel.
    m_capsule = std::make_unique<CapsuleBarController>(run.state(), run.tuning(), *m_panel, m_hoverTip.get(),
                                                       [this] { toggleMainWindow(); });
    m_floatingBar = std::make_unique<FloatingBarWindowController>(*m_engine, run.state(), *m_capsule,
                                                                  *m_hoverTip, [this] { hideMainPanel(); });
    m_island = std::make_unique<NotchBarWindowController>(
        NotchBarWindowController::Deps{*m_engine, run.state(), run.tuning(), *m_panel, *m_diagnostics,
                                       *m_hoverTip, [this] { showMainPanel(); }});
    m_floatingBar->setIsland({[this] { m_island->show(); }, [this] { m_island->hide(); }});
    m_floatingBar->show();

    createMainPanel();

    connect(m_consent.get(), &ConsentController::accepted, this, &DesktopUi::acceptConsent);
    // Declining ends the program through the normal quit steps.
    connect(m_consent.get(), &ConsentController::declined, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    run.delegate().setConsentPresenter([this] { presentPrivacyConsent(); });
}

DesktopUi::~DesktopUi()
{
    m_run.delegate().setConsentPresenter({});
    m_floatingBar.reset();
    m_island.reset();
    delete m_consentWindow.data();
    delete m_mainPanel.data();
}

void DesktopUi::createMainPanel()
{
    m_mainPanel = qml_views::createWindow(
        *m_engine, QStringLiteral("MainPanel.qml"),
        {{QStringLiteral("app"), QVariant::fromValue<QObject*>(&m_run.state())},
         {QStringLiteral("panel"), QVariant::fromValue<QObject*>(m_panel.get())},
         {QStringLiteral("tuning"), QVariant::fromValue<QObject*>(&m_run.tuning())},
         {QStringLiteral("diagnostics"), QVariant::fromValue<QObject*>(m_diagnostics.get())},
         {QStringLiteral("hoverTip"), QVariant::fromValue<QObject*>(m_hoverTip.get())}});
    if (!m_mainPanel)
        return;
    m_mainPanel->setObjectName(QStringLiteral("mainPanel"));
    attachWindowChrome(*m_mainPanel, WindowRole::mainPanel);
    m_mainPanel->resize(panel_geometry::kWidth, panel_geometry::kInitialHeight);
    followRoundedOutline(*m_mainPanel, 0, kPanelRadius);
    m_panel->setPanelWindow(m_mainPanel);
    centreOnScreen(*m_mainPanel);
}

void DesktopUi::showMainPanel()
{
    if (!m_mainPanel)
        return;
    m_presence->refresh();
    m_mainPanel->show();
    m_mainPanel->raise();
    m_mainPanel->requestActivate();
    emit mainPanelShown();
}

void DesktopUi::hideMainPanel()
{
    if (m_mainPanel)
        m_mainPanel->hide();
}

void DesktopUi::toggleMainWindow()
{
    if (!m_mainPanel)
        return;
    if (m_mainPanel->isVisible())
        hideMainPanel();
    else
        showMainPanel();
}

void DesktopUi::presentPrivacyConsent()
{
    if (!m_consentWindow) {
        m_consentWindow = qml_views::createWindow(
            *m_engine, QStringLiteral("ConsentWindow.qml"),
            {{QStringLiteral("consent"), QVariant::fromValue<QObject*>(m_consent.get())}});
        if (!m_consentWindow)
            return;
        attachWindowChrome(*m_consentWindow, WindowRole::consent);
        followRoundedOutline(*m_consentWindow, m_consentWindow->property("shadow").toInt(), kPanelRadius);
    }
    centreOnScreen(*m_consentWindow);
    m_consentWindow->show();
    m_consentWindow->raise();
    m_consentWindow->requestActivate();
    emit consentPresented();
}

void DesktopUi::acceptConsent()
{
    if (m_consentWindow)
        m_consentWindow->close();
    m_run.delegate().acceptPrivacyConsent();
}
