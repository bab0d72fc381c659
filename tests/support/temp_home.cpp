#include "support/temp_home.h"

#include "app/settings_store.h"
#include "pluginlink/plugin_ipc.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

TempHome::TempHome() : m_oldHome(qgetenv("HOME"))
{
    qputenv("HOME", m_dir.path().toUtf8());
    SettingsStore::setSharedPath(settingsPath());
    PluginIPC::resetForTests();
}

TempHome::~TempHome()
{
    PluginIPC::resetForTests();
    SettingsStore::setSharedPath(QString());
    qputenv("HOME", m_oldHome);
}

QString TempHome::linkDir() const
{
    return m_dir.path() + QStringLiteral("/Library/Application Support/Tonivox");
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

bool setAge(const QString& path, double seconds)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    const QDateTime when = QDateTime::currentDateTime().addMSecs(-static_cast<qint64>(seconds * 1000.0));
    return f.setFileTime(when, QFileDevice::FileModificationTime);
}
