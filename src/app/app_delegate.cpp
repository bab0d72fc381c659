#include "app/app_delegate.h"

#include "core/app_state.h"
#include "core/settings_store.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_ipc.h"

#include <QPointer>
#include <QTimer>

AppDelegate::AppDelegate(SettingsStore& settings, AutoTuneSyncer* syncer, QObject* parent)
    : QObject(parent), m_settings(settings), m_syncer(syncer)
{}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    if (m_installPlugin)
        m_installPlugin();
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

void AppDelegate::acceptPrivacyConsent()
{
    m_settings.setPrivacyConsent(true);
    emit consentGiven();
    startPostLaunchChecks();
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
            check();
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
