#include "pluginlink/plugin_installer.h"

#include "core/build_info.h"
#include "core/resource_bundle.h"
#include "core/settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace PluginInstaller {
namespace {

fs::path pathOf(const QString& text)
{
    return fs::path(QFile::encodeName(text).toStdString());
}

bool entryExists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// Removes a file, a folder tree or a link (the link itself: remove_all never follows one).
bool removeEntry(const fs::path& path)
{
    std::error_code error;
    fs::remove_all(path, error);
    return !error && !entryExists(path);
}

// A whole bundle: folders, regular files and links as links. Anything else (a pipe, a
// device) fails the copy rather than hang it or copy what is not the plug-in's.
bool copyBundle(const fs::path& from, const fs::path& to)
{
    std::error_code error;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    return !error;
}

// Puts the staged bundle in place of `installed`, which may or may not exist; on failure
// the old copy stays where it was.
bool putInPlace(const fs::path& staged, const fs::path& installed)
{
    if (!entryExists(installed))
        return ::rename(staged.c_str(), installed.c_str()) == 0;
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, installed.c_str(), RENAME_EXCHANGE) == 0) {
        removeEntry(staged); // now the old copy
        return true;
    }
    // A file system without the exchange: move the old copy aside first.
    fs::path aside = installed;
    aside.replace_filename("." + installed.filename().string() + ".previous");
    removeEntry(aside);
    if (::rename(installed.c_str(), aside.c_str()) != 0)
        return false;
    if (::rename(staged.c_str(), installed.c_str()) != 0) {
        ::rename(aside.c_str(), installed.c_str());
        return false;
    }
    removeEntry(aside);
    return true;
}

} // namespace

QString defaultComponentsDir()
{
    return QDir::homePath() + QStringLiteral("/.vst3");
}

std::optional<QString> shippedBundle()
{
    const auto dir = findResourceDir();
    if (!dir)
        return std::nullopt;
    const QString bundle = *dir + QLatin1Char('/') + QLatin1String(kBundleName);
    return QFileInfo(bundle).isDir() ? std::optional<QString>(bundle) : std::nullopt;
}

std::optional<QString> install(const Request& request)
{
    const fs::path dir = pathOf(request.componentsDir);
    const fs::path installed = dir / kBundleName;
    removeEntry(dir / kOldBundleName);

    if (!request.bundled || !QFileInfo(*request.bundled).isDir())
        return std::nullopt;
    if (request.installedForVersion == request.appVersion && entryExists(installed))
        return std::nullopt;

    std::error_code error;
    fs::create_directories(dir, error);
    const fs::path staged = dir / ("." + std::string(kBundleName) + ".installing");
    removeEntry(staged);
    if (!copyBundle(pathOf(*request.bundled), staged) || !putInPlace(staged, installed)) {
        removeEntry(staged);
        return std::nullopt;
    }
    return request.appVersion;
}

void installIfNeeded(const std::optional<QString>& componentsDir, const std::optional<QString>& bundled,
                     const std::optional<QString>& appVersion, SettingsStore& defaults)
{
    QString version = appVersion.value_or(appShortVersion());
    if (version.isEmpty())
        version = QStringLiteral("?");
    const Request request{componentsDir.value_or(defaultComponentsDir()), bundled ? bundled : shippedBundle(),
                          version, defaults.pluginInstalledForAppVersion()};
    if (const auto marker = install(request))
        defaults.setPluginInstalledForAppVersion(*marker);
}

} // namespace PluginInstaller
