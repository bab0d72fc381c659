#include "core/resource_bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

namespace {

// Whether the folder `path` is `root` or lies below it, links resolved.
bool isWithin(const QString& path, const QString& root)
{
    const QString p = QFileInfo(path).canonicalFilePath();
    const QString r = QFileInfo(root).canonicalFilePath();
    if (p.isEmpty() || r.isEmpty())
        return false;
    return p == r || p.startsWith(r + QLatin1Char('/'));
}

} // namespace

std::optional<QString> findResourceDir()
{
    const QString exeDir = QCoreApplication::applicationDirPath();
    QStringList candidates = {
        exeDir + QStringLiteral("/resources"),
        QDir::cleanPath(exeDir + QStringLiteral("/../share/tonivox")),
        QStringLiteral(TONIVOX_INSTALL_RESOURCE_DIR),
    };
    // Programs of the build tree (tests, tools in subfolders) share its resource folder; an
    // installed copy of the same binary must not fall back on a build tree it came from.
    if (isWithin(exeDir, QStringLiteral(TONIVOX_BUILD_ROOT)))
        candidates.append(QStringLiteral(TONIVOX_BUILD_RESOURCE_DIR));
    for (const QString& dir : candidates) {
        if (QFileInfo(dir).isDir())
            return dir;
    }
    return std::nullopt;
}

QString requireResourceDir()
{
    if (auto dir = findResourceDir())
        return *dir;
    std::fputs("unable to find bundle named Tonivox_Tonivox\n", stderr);
    std::exit(1);
}
