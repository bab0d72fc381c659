#include "platform/audio_component_lookup.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace platform {

QString looseName(const QString& text)
{
    QString out;
    for (QChar c : text) {
        if (c.isLetterOrNumber())
            out.append(c.toLower());
    }
    return out;
}

namespace {

struct ModuleInfo {
    QStringList names;
    QVersionNumber version;
};

// Contents/Resources/moduleinfo.json of a VST3 bundle (SDK 3.7.5 and later).
ModuleInfo readModuleInfo(const QString& bundlePath)
{
    ModuleInfo info;
    for (const char* rel : {"/Contents/Resources/moduleinfo.json", "/Contents/moduleinfo.json"}) {
        QFile f(bundlePath + QLatin1String(rel));
        if (!f.open(QIODevice::ReadOnly) || f.size() > 4 * 1024 * 1024)
            continue;
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
        if (!doc.isObject())
            continue;
        const QJsonObject root = doc.object();
        info.names.append(root.value(QStringLiteral("Name")).toString());
        info.version = QVersionNumber::fromString(root.value(QStringLiteral("Version")).toString());
        for (const QJsonValue& cls : root.value(QStringLiteral("Classes")).toArray()) {
            const QJsonObject c = cls.toObject();
            info.names.append(c.value(QStringLiteral("Name")).toString());
            if (info.version.isNull())
                info.version = QVersionNumber::fromString(c.value(QStringLiteral("Version")).toString());
        }
        break;
    }
    return info;
}

} // namespace

QStringList Vst3ComponentLookup::standardFolders()
{
    return {QDir::homePath() + QStringLiteral("/.vst3"), QStringLiteral("/usr/lib/vst3"),
            QStringLiteral("/usr/local/lib/vst3")};
}

Vst3ComponentLookup::Vst3ComponentLookup(QStringList folders) : m_folders(std::move(folders)) {}

std::vector<AudioComponent> Vst3ComponentLookup::find(const AudioComponentDescription& description) const
{
    const QString wanted = looseName(description.variant);
    std::vector<AudioComponent> found;
    if (wanted.isEmpty())
        return found;
    for (const QString& folder : m_folders) {
        const QDir dir(folder);
        const QFileInfoList entries = dir.entryInfoList(
            {QStringLiteral("*.vst3")}, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& entry : entries) {
            const ModuleInfo info = entry.isDir() ? readModuleInfo(entry.filePath()) : ModuleInfo{};
            bool matches = looseName(entry.completeBaseName()) == wanted;
            for (const QString& name : info.names)
                matches = matches || looseName(name) == wanted;
            if (matches)
                found.push_back({entry.completeBaseName(), entry.filePath(), info.version});
        }
    }
    return found;
}

std::shared_ptr<AudioComponentLookup> defaultAudioComponentLookup()
{
    return std::make_shared<Vst3ComponentLookup>();
}

} // namespace platform
