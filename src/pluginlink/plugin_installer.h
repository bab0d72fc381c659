#pragma once

#include <QString>
#include <optional>

class SettingsStore;

// Installs the host plug-in, a VST3 bundle shipped among the application's resources, into
// the user's VST3 folder whenever the application version changes or the installed copy is
// missing, and removes the bundle of the plug-in's old name.
//
// A bundle is a folder: it is copied whole under a staging name beside the destination and
// only then put in place (swapped atomically with the old copy), so a copy that fails
// leaves the old copy and the version marker as they were, and the next launch tries again.
// An old-name bundle that is a symbolic link is removed as a link, never followed.
//
// Audio hosts on Linux rescan their VST3 folders themselves: there is no component
// registry to refresh, so the registry refresh of other platforms has no counterpart here.
namespace PluginInstaller {

inline constexpr char kBundleName[] = "Melodrix.vst3";
inline constexpr char kOldBundleName[] = "Rigbox.vst3";

// ~/.vst3
QString defaultComponentsDir();
// The bundle among the resources, when the application carries one.
std::optional<QString> shippedBundle();

struct Request {
    QString componentsDir;
    // The bundle to copy; none (or a path that is not a folder) copies nothing.
    std::optional<QString> bundled;
    QString appVersion;
    // The stored marker "pluginInstalledForAppVersion".
    std::optional<QString> installedForVersion;
};

// The file-system work: removes the old-name bundle, then copies when needed. Returns the
// version to store as the marker when a copy was put in place, none otherwise (nothing to
// do, nothing shipped, or the copy failed). Never throws; failures are silent.
// Thread safety: any thread (file system only), so the launch sequence runs it off the
// main thread.
std::optional<QString> install(const Request& request);

// The whole step on the calling thread: resolves the absent arguments (the default folder,
// the shipped bundle, the application's short version or "?"), installs, and stores the
// marker in `defaults` after a successful copy.
void installIfNeeded(const std::optional<QString>& componentsDir, const std::optional<QString>& bundled,
                     const std::optional<QString>& appVersion, SettingsStore& defaults);

} // namespace PluginInstaller
