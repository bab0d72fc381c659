#include "app/app_delegate.h"

#include "app/app_state.h"
#include "app/settings_store.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_ipc.h"

#include <QPointer>
#include <QThreadPool>
#include <QTimer>

AppDelegate::AppDelegate(SettingsStore& settings, QObject* parent) : QObject(parent), m_settings(settings) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    // First use of the shared state starts its artwork timer and installs the plug-in
    // metadata provider, so the first state write already carries the song lines.
    AppState::shared();
    // The syncer belongs to the main panel's view; until the panel exists the delegate
    // keeps it, so the heartbeat runs from launch.
    m_syncer = std::make_unique<AutoTuneSyncer>();

    if (m_settings.privacyConsent()) {
        startPostLaunchChecks();
        return;
    }
    QPointer<AppDelegate> weak(this);
    QTimer::singleShot(kConsentDelay_ms, Qt::PreciseTimer, this, [weak] {
        if (weak)
            weak->presentPrivacyConsent();
    });
}

void AppDelegate::presentPrivacyConsent()
{
    if (m_presentConsent)
        m_presentConsent();
}

void AppDelegate::startPostLaunchChecks()
{
    if (KeyLinkCheck::started.exchange(true))
        return;
    std::function<void()> check = m_keyLinkCheck;
    QTimer::singleShot(kPostLaunchDelay_ms, Qt::PreciseTimer, this, [check] {
        if (check)
            QThreadPool::globalInstance()->start(check);
    });
}

void AppDelegate::applicationShouldTerminate()
{
    if (m_quitStepsDone)
        return;
    m_quitStepsDone = true;
    PluginIPC::markAppQuit();
    if (m_stopTransposer)
        m_stopTransposer();
}
