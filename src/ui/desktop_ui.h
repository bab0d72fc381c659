#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <memory>

class AppRun;
class ApplicationActivation;
class AutoTunePresence;
class CapsuleBarController;
class FloatingBarWindowController;
class ConsentController;
class DiagnosticsSaver;
class HoverTip;
class MainPanelController;
class NotchBarWindowController;
class QQmlEngine;

// The program's windows over the run: the floating bar (shown at launch), the main panel
// (created hidden at launch, hidden rather than destroyed when closed), the privacy-consent
// window the launch sequence asks for, and the activation a second start uses to show the
// panel.
//
// Lifetime: create after the run and before its launch sequence; destroy before the run.
// Thread safety: main thread only.
class DesktopUi : public QObject {
    Q_OBJECT
public:
    explicit DesktopUi(AppRun& run, QObject* parent = nullptr);
    ~DesktopUi() override;

    QQmlEngine& engine() { return *m_engine; }
    MainPanelController& panelController() { return *m_panel; }
    DiagnosticsSaver& diagnostics() { return *m_diagnostics; }
    AutoTunePresence& autoTunePresence() { return *m_presence; }
    HoverTip& hoverTip() { return *m_hoverTip; }
    CapsuleBarController& capsuleBar() { return *m_capsule; }
    FloatingBarWindowController& floatingBar() { return *m_floatingBar; }
    NotchBarWindowController& island() { return *m_island; }
    // Absent only when its view failed to load (the run goes on without it).
    QQuickWindow* mainPanel() const { return m_mainPanel; }
    QQuickWindow* consentWindow() const { return m_consentWindow; }

    // Shows the main panel in front and gives it the focus.
    void showMainPanel();
    void hideMainPanel();
    // Shows a hidden panel, hides a visible one.
    void toggleMainWindow();
    void presentPrivacyConsent();

signals:
    void mainPanelShown();
    void consentPresented();

private:
    void createMainPanel();
    void acceptConsent();

    AppRun& m_run;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<HoverTip> m_hoverTip;
    std::unique_ptr<AutoTunePresence> m_presence;
    std::unique_ptr<DiagnosticsSaver> m_diagnostics;
    std::unique_ptr<MainPanelController> m_panel;
    std::unique_ptr<ConsentController> m_consent;
    std::unique_ptr<ApplicationActivation> m_activation;
    std::unique_ptr<CapsuleBarController> m_capsule;
    std::unique_ptr<NotchBarWindowController> m_island;
    std::unique_ptr<FloatingBarWindowController> m_floatingBar;
    QPointer<QQuickWindow> m_mainPanel;
    QPointer<QQuickWindow> m_consentWindow;
};
