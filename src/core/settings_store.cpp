#include "core/settings_store.h"

#include "core/settings_keys.h"

#include <QDir>
#include <QStandardPaths>
#include <atomic>

namespace {
// The owner's store; never owned here, so nothing it hands out can dangle from this side.
std::atomic<SettingsStore*> installedStore{nullptr};
} // namespace

SettingsStore::SettingsStore(const QString& iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{}

QString SettingsStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Tonivox/Tonivox.conf");
}

SettingsStore& SettingsStore::shared()
{
    if (SettingsStore* store = installedStore.load())
        return *store;
    // Without an owner (a tool, an early error path): one store for the rest of the process,
    // never freed, so a reference to it cannot dangle.
    static SettingsStore* fallback = new SettingsStore(defaultPath());
    return *fallback;
}

SettingsStore* SettingsStore::installShared(SettingsStore* store)
{
    return installedStore.exchange(store);
}

std::optional<QString> SettingsStore::text(const char* key) const
{
    const QVariant v = m_settings->value(QLatin1String(key));
    if (!v.isValid() || v.typeId() == QMetaType::QVariantMap || v.typeId() == QMetaType::QStringList)
        return std::nullopt;
    return v.toString();
}

void SettingsStore::setText(const char* key, const QString& value)
{
    m_settings->setValue(QLatin1String(key), value);
}

bool SettingsStore::contains(const char* key) const
{
    const QString k = QLatin1String(key);
    return m_settings->contains(k) || m_settings->childGroups().contains(k);
}

void SettingsStore::remove(const char* key)
{
    m_settings->remove(QLatin1String(key));
}

void SettingsStore::sync()
{
    m_settings->sync();
}

bool SettingsStore::boolValue(const char* key, bool fallback) const
{
    const auto raw = text(key);
    if (!raw)
        return fallback;
    const QString v = raw->trimmed().toLower();
    if (v == QLatin1String("true") || v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("false") || v == QLatin1String("0"))
        return false;
    return fallback;
}

std::optional<QMap<QString, double>> SettingsStore::numberGroup(const char* key) const
{
    const QString k = QLatin1String(key);
    if (!m_settings->childGroups().contains(k))
        return std::nullopt;
    QMap<QString, double> out;
    m_settings->beginGroup(k);
    for (const QString& name : m_settings->childKeys()) {
        bool ok = false;
        const double v = m_settings->value(name).toDouble(&ok);
        if (ok)
            out.insert(name, v);
    }
    m_settings->endGroup();
    return out;
}

void SettingsStore::setNumberGroup(const char* key, const QMap<QString, double>& values)
{
    const QString k = QLatin1String(key);
    m_settings->remove(k);
    m_settings->beginGroup(k);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        m_settings->setValue(it.key(), it.value());
    m_settings->endGroup();
}

std::optional<QString> SettingsStore::floatingBarStyle() const
{
    return text(settings_keys::floatingBarStyle);
}
void SettingsStore::setFloatingBarStyle(const QString& raw)
{
    setText(settings_keys::floatingBarStyle, raw);
}

bool SettingsStore::simulateNotch() const
{
    return boolValue(settings_keys::simulateNotch, false);
}
void SettingsStore::setSimulateNotch(bool on)
{
    m_settings->setValue(QLatin1String(settings_keys::simulateNotch), on);
}

int SettingsStore::lastUsedTranspose() const
{
    const auto raw = text(settings_keys::lastUsedTranspose);
    if (!raw)
        return 0;
    bool ok = false;
    const int v = raw->trimmed().toInt(&ok);
    return ok ? v : 0;
}
void SettingsStore::setLastUsedTranspose(int semitones)
{
    m_settings->setValue(QLatin1String(settings_keys::lastUsedTranspose), semitones);
}

std::optional<QString> SettingsStore::lastUsedPreset() const
{
    return text(settings_keys::lastUsedPreset);
}
void SettingsStore::setLastUsedPreset(const QString& presetID)
{
    setText(settings_keys::lastUsedPreset, presetID);
}

std::optional<QMap<QString, double>> SettingsStore::customAutoTuneSettings() const
{
    return numberGroup(settings_keys::customAutoTuneSettings);
}
void SettingsStore::setCustomAutoTuneSettings(const QMap<QString, double>& values)
{
    setNumberGroup(settings_keys::customAutoTuneSettings, values);
}
void SettingsStore::removeCustomAutoTuneSettings()
{
    remove(settings_keys::customAutoTuneSettings);
}

std::optional<QMap<QString, double>> SettingsStore::lastUsedSettings() const
{
    return numberGroup(settings_keys::lastUsedSettings);
}
void SettingsStore::setLastUsedSettings(const QMap<QString, double>& values)
{
    setNumberGroup(settings_keys::lastUsedSettings, values);
}

std::optional<QString> SettingsStore::accompanimentChannelUID() const
{
    return text(settings_keys::accompanimentChannelUID);
}
void SettingsStore::setAccompanimentChannelUID(const QString& uid)
{
    setText(settings_keys::accompanimentChannelUID, uid);
}

bool SettingsStore::privacyConsent() const
{
    return boolValue(settings_keys::privacyConsent, false);
}
void SettingsStore::setPrivacyConsent(bool accepted)
{
    m_settings->setValue(QLatin1String(settings_keys::privacyConsent), accepted);
}

std::optional<QString> SettingsStore::serverBaseURL() const
{
    return text(settings_keys::serverBaseURL);
}
void SettingsStore::setServerBaseURL(const QString& url)
{
    setText(settings_keys::serverBaseURL, url);
}

std::optional<QString> SettingsStore::ocrPinnedPlayer() const
{
    return text(settings_keys::ocrPinnedPlayer);
}
void SettingsStore::setOcrPinnedPlayer(const QString& player)
{
    setText(settings_keys::ocrPinnedPlayer, player);
}
void SettingsStore::removeOcrPinnedPlayer()
{
    remove(settings_keys::ocrPinnedPlayer);
}

bool SettingsStore::otherPlayers() const
{
    return boolValue(settings_keys::otherPlayers, true);
}
void SettingsStore::setOtherPlayers(bool on)
{
    m_settings->setValue(QLatin1String(settings_keys::otherPlayers), on);
}

namespace {
// One key per application version; "?" when the version is unknown.
QByteArray screenRecordingKey(const QString& shortVersion)
{
    return QByteArray(settings_keys::screenRecordingRequestedPrefix) +
           (shortVersion.isEmpty() ? QByteArray("?") : shortVersion.toUtf8());
}
} // namespace

bool SettingsStore::screenRecordingRequested(const QString& shortVersion) const
{
    return boolValue(screenRecordingKey(shortVersion).constData(), false);
}
void SettingsStore::setScreenRecordingRequested(const QString& shortVersion, bool requested)
{
    m_settings->setValue(QString::fromUtf8(screenRecordingKey(shortVersion)), requested);
}

std::optional<QString> SettingsStore::pluginInstalledForAppVersion() const
{
    return text(settings_keys::pluginInstalledForAppVersion);
}
void SettingsStore::setPluginInstalledForAppVersion(const QString& version)
{
    setText(settings_keys::pluginInstalledForAppVersion, version);
}

std::optional<QString> SettingsStore::accessToken() const
{
    return text(settings_keys::accessToken);
}
void SettingsStore::setAccessToken(const QString& token)
{
    setText(settings_keys::accessToken, token);
}

KeyDecisionEngine SettingsStore::keyDecisionEngine() const
{
    return keyDecisionEngineFromText(text(settings_keys::keyDecisionEngine).value_or(QString()));
}
void SettingsStore::setKeyDecisionEngine(KeyDecisionEngine engine)
{
    setText(settings_keys::keyDecisionEngine, keyDecisionEngineText(engine));
}
