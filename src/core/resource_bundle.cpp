#include "core/resource_bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

std::optional<QString> findResourceDir()
{
    const QString exeDir = QCoreApplication::applicationDirPath();
    const QStringList candidates = {
        exeDir + QStringLiteral("/resources"),
        QDir::cleanPath(exeDir + QStringLiteral("/../share/tonivox")),
        QStringLiteral(TONIVOX_INSTALL_RESOURCE_DIR),
        QStringLiteral(TONIVOX_BUILD_RESOURCE_DIR),
    };
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
