#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class SettingsStore;

// Points HOME (and with it the plug-in link directory) at a fresh temporary folder and
// installs a settings store of its own as the shared one, for the lifetime of the object;
// puts both back afterwards.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return m_dir.path(); }
    QString settingsPath() const { return m_dir.path() + QStringLiteral("/Tonivox.conf"); }
    // ~/Library/Application Support/Tonivox under the temporary home.
    QString linkDir() const;
    SettingsStore& settings() { return *m_settings; }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
    std::unique_ptr<SettingsStore> m_settings;
    SettingsStore* m_previousSettings = nullptr;
};

// Reads a whole file; empty when missing.
QByteArray readAll(const QString& path);
// Writes a whole file, creating folders; returns false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);
// Sets a file's modification time to now minus the given seconds.
bool setAge(const QString& path, double seconds);
