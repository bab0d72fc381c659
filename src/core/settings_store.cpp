#include "core/settings_store.h"

#include "core/settings_keys.h"

#include <QDir>
#include <QStandardPaths>
#include <QThreadPool>
#include <atomic>
#include <map>
#include <mutex>

struct SettingsStore::Writer {
    // Held by the jobs too, which may outlive a store.
    std::shared_ptr<PendingSettings> pending = std::make_shared<PendingSettings>();
    // One thread: the changes reach the file in order.
    QThreadPool thread;
    Writer() { thread.setMaxThreadCount(1); }
};

namespace {
// The owner's store; never owned here, so nothing it hands out can dangle from this side.
std::atomic<SettingsStore*> installedStore{nullptr};

// The writer of a file, made for its first store and kept while a store of it lives.
template <typename Writer> std::shared_ptr<Writer> writerOf(const QString& path)
{
    static std::mutex lock;
    static std::map<QString, std::weak_ptr<Writer>> writers;
    std::lock_guard guard(lock);
    std::erase_if(writers, [](const auto& entry) { return entry.second.expired(); });
    std::weak_ptr<Writer>& slot = writers[path];
    std::shared_ptr<Writer> writer = slot.lock();
    if (!writer) {
        writer = std::make_shared<Writer>();
        slot = writer;
    }
    return writer;
}
} // namespace

SettingsStore::SettingsStore(const QString& iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat)),
      m_writer(writerOf<Writer>(m_settings->fileName()))
{}

SettingsStore::~SettingsStore()
{
    m_writer->thread.waitForDone();
}

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

QVariant SettingsStore::value(const QString& key) const
{
    // The changes first: one handed over since is in the file by the time it is read.
    if (const auto changed = m_writer->pending->valueOf(key))
        return changed->value_or(QVariant());
    return m_settings->value(key);
}

std::optional<QMap<QString, QVariant>> SettingsStore::group(const QString& key) const
{
    return m_writer->pending->group(key, [&](QMap<QString, QVariant>& children) {
        if (!m_settings->childGroups().contains(key))
            return false;
        m_settings->beginGroup(key);
        for (const QString& name : m_settings->childKeys())
            children.insert(name, m_settings->value(name));
        m_settings->endGroup();
        return true;
    });
}

void SettingsStore::write(std::vector<Change> changes)
{
    std::vector<quint64> numbers;
    for (const auto& [key, value] : changes)
        numbers.push_back(m_writer->pending->add(key, value));
    m_writer->thread.start([path = m_settings->fileName(), pending = m_writer->pending,
                            changes = std::move(changes), numbers = std::move(numbers)] {
        QSettings file(path, QSettings::IniFormat);
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const auto& [key, value] = changes[i];
            if (value)
                file.setValue(key, *value);
            else
                file.remove(key);
            // Every instance of the file in the process reads it from here on.
            pending->handed(numbers[i]);
        }
        file.sync();
    });
}

std::optional<QString> SettingsStore::text(const char* key) const
{
    const QVariant v = value(QLatin1String(key));
    if (!v.isValid() || v.typeId() == QMetaType::QVariantMap || v.typeId() == QMetaType::QStringList)
        return std::nullopt;
    return v.toString();
}

void SettingsStore::setText(const char* key, const QString& value)
{
    write({{QLatin1String(key), QVariant(value)}});
}

bool SettingsStore::contains(const char* key) const
{
    const QString k = QLatin1String(key);
    return value(k).isValid() || group(k).has_value();
}

void SettingsStore::remove(const char* key)
{
    write({{QLatin1String(key), std::nullopt}});
}

void SettingsStore::sync()
{
    m_writer->thread.waitForDone();
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
    const auto children = group(QLatin1String(key));
    if (!children)
        return std::nullopt;
    QMap<QString, double> out;
    for (auto it = children->cbegin(); it != children->cend(); ++it) {
        bool ok = false;
        const double v = it.value().toDouble(&ok);
        if (ok)
            out.insert(it.key(), v);
    }
    return out;
}

void SettingsStore::setNumberGroup(const char* key, const QMap<QString, double>& values)
{
    const QString k = QLatin1String(key);
    std::vector<Change> changes{{k, std::nullopt}};
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        changes.emplace_back(k + QLatin1Char('/') + it.key(), QVariant(it.value()));
    write(std::move(changes));
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
    write({{QLatin1String(settings_keys::simulateNotch), QVariant(on)}});
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
    write({{QLatin1String(settings_keys::lastUsedTranspose), QVariant(semitones)}});
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
    write({{QLatin1String(settings_keys::privacyConsent), QVariant(accepted)}});
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
    write({{QLatin1String(settings_keys::otherPlayers), QVariant(on)}});
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
    write({{QString::fromUtf8(screenRecordingKey(shortVersion)), QVariant(requested)}});
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
