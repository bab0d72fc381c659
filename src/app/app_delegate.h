#pragma once

#include <QObject>
#include <functional>
#include <memory>

class AutoTuneSyncer;
class SettingsStore;

// The launch sequence of the interactive run, the consent gate and the quit steps.
// Parts that later issues bring (plug-in installer, floating bar, main panel, consent
// window, key-link check, transposer) are reached through the hooks below.
//
// Thread safety: main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    static constexpr int kConsentDelay_ms = 1600;
    static constexpr int kPostLaunchDelay_ms = 4000;

    // `syncer` (not owned) belongs to the owner of the run and outlives the delegate.
    AppDelegate(SettingsStore& settings, AutoTuneSyncer* syncer, QObject* parent = nullptr);
    ~AppDelegate() override;

    // What starts 4 s after launch once consent is stored, at most once per process. It is
    // called on the main thread and must return at once (the key-link check hands its work
    // to its own serial executor).
    void setKeyLinkCheck(std::function<void()> check) { m_keyLinkCheck = std::move(check); }
    // The first launch step: installs the host plug-in when needed; must return at once.
    void setPluginInstaller(std::function<void()> install) { m_installPlugin = std::move(install); }
    // Shows the privacy-consent window.
    void setConsentPresenter(std::function<void()> present) { m_presentConsent = std::move(present); }
    // Stops the accompaniment transposer at quit.
    void setTransposerStop(std::function<void()> stop) { m_stopTransposer = std::move(stop); }

    void applicationDidFinishLaunching();
    void presentPrivacyConsent();
    // The consent window's accept: stores consent, tells the run, starts the checks.
    void acceptPrivacyConsent();
    void startPostLaunchChecks();
    // The quit steps: the quit record for the plug-in, then the transposer.
    void applicationShouldTerminate();

    AutoTuneSyncer* syncer() const { return m_syncer; }

signals:
    void consentGiven();

private:
    SettingsStore& m_settings;
    AutoTuneSyncer* m_syncer;
    std::function<void()> m_installPlugin;
    std::function<void()> m_keyLinkCheck;
    std::function<void()> m_presentConsent;
    std::function<void()> m_stopTransposer;
    bool m_quitStepsDone = false;
};
