#pragma once

#include "core/key_decision_engine.h"
#include "core/pending_settings.h"

#include <QMap>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The application's persisted settings (INI file through QSettings). Every key of the
// system has a typed accessor here with its default; dictionaries are stored as groups
// of numbers. Values are written the moment they change; nothing is saved on exit.
//
// The file is written, and synced to disk, on a writer thread, never on the caller's: the
// stores of one file in the process share its writer and the changes it has not written
// yet, so that every one of them reads a change at once, and the file gets the changes in
// the order they were made. sync() and the destructor wait for the writer.
//
// Thread safety: one thread (the main thread in the application); the writer is internal.
class SettingsStore {
public:
    explicit SettingsStore(const QString& iniPath);

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // A view of the store the owner of the run installed (a test's own store in tests);
    // without one, a store at defaultPath() that lives until the process ends.
    static SettingsStore& shared();
    // Makes shared() answer `store` (not owned; nullptr removes it) and returns the store
    // it answered before, for the installer to put back when `store` goes away.
    static SettingsStore* installShared(SettingsStore* store);
    static QString defaultPath();

    QString path() const { return m_settings->fileName(); }

    std::optional<QString> floatingBarStyle() const;
    void setFloatingBarStyle(const QString& raw);

    bool simulateNotch() const;
    void setSimulateNotch(bool on);

    int lastUsedTranspose() const;
    void setLastUsedTranspose(int semitones);

    std::optional<QString> lastUsedPreset() const;
    void setLastUsedPreset(const QString& presetID);

    std::optional<QMap<QString, double>> customAutoTuneSettings() const;
    void setCustomAutoTuneSettings(const QMap<QString, double>& values);
    void removeCustomAutoTuneSettings();

    std::optional<QMap<QString, double>> lastUsedSettings() const;
    void setLastUsedSettings(const QMap<QString, double>& values);

    std::optional<QString> accompanimentChannelUID() const;
    void setAccompanimentChannelUID(const QString& uid);

    bool privacyConsent() const;
    void setPrivacyConsent(bool accepted);

    std::optional<QString> serverBaseURL() const;
    void setServerBaseURL(const QString& url);

    std::optional<QString> ocrPinnedPlayer() const;
    void setOcrPinnedPlayer(const QString& player);
    void removeOcrPinnedPlayer();

    // Whether a playing MPRIS player other than the three followed ones may name the song
    // (on when unset).
    bool otherPlayers() const;
    void setOtherPlayers(bool on);

    // Keyed by the application's short version: the request is made once per version.
    bool screenRecordingRequested(const QString& shortVersion) const;
    void setScreenRecordingRequested(const QString& shortVersion, bool requested);

    std::optional<QString> pluginInstalledForAppVersion() const;
    void setPluginInstalledForAppVersion(const QString& version);

    // The stored key-library access token (the service client prefers the environment).
    std::optional<QString> accessToken() const;
    void setAccessToken(const QString& token);

    KeyDecisionEngine keyDecisionEngine() const;
    void setKeyDecisionEngine(KeyDecisionEngine engine);

    // Untyped access for keys other subsystems add.
    std::optional<QString> text(const char* key) const;
    void setText(const char* key, const QString& value);
    bool contains(const char* key) const;
    void remove(const char* key);
    // Waits until every change is in the file, then reads the file again.
    void sync();

    ~SettingsStore();

private:
    using Change = std::pair<QString, std::optional<QVariant>>;
    QVariant value(const QString& key) const;
    std::optional<QMap<QString, QVariant>> group(const QString& key) const;
    // Values, or nothing for removals (of a key and everything under it), in one write.
    void write(std::vector<Change> changes);
    bool boolValue(const char* key, bool fallback) const;
    std::optional<QMap<QString, double>> numberGroup(const char* key) const;
    void setNumberGroup(const char* key, const QMap<QString, double>& values);

    // Reads only. Holding no change of its own, it never writes the file: QSettings writes
    // and syncs to disk on the thread of the instance that holds the changes.
    std::unique_ptr<QSettings> m_settings;
    // The file's writer and its changes not written yet, shared by the stores of the file.
    struct Writer;
    std::shared_ptr<Writer> m_writer;
};
