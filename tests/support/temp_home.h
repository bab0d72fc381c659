#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Points HOME (and with it the plug-in link directory) and the shared settings at a
// fresh temporary folder for the lifetime of the object; restores both afterwards.
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

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
};

// Reads a whole file; empty when missing.
QByteArray readAll(const QString& path);
// Writes a whole file, creating folders; returns false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);
// Sets a file's modification time to now minus the given seconds.
bool setAge(const QString& path, double seconds);
