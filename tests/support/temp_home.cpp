#include "support/temp_home.h"

#include "core/settings_store.h"
#include "pluginlink/plugin_ipc.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

TempHome::TempHome() : m_oldHome(qgetenv("HOME")), m_settings(std::make_unique<SettingsStore>(settingsPath()))
{
    qputenv("HOME", m_dir.path().toUtf8());
    m_previousSettings = SettingsStore::installShared(m_settings.get());
    PluginIPC::resetForTests();
}

TempHome::~TempHome()
{
    PluginIPC::resetForTests();
    SettingsStore::installShared(m_previousSettings);
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
