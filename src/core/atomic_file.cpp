#include "core/atomic_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cstdio>

namespace {

// A hidden name beside the target, unique enough that O_EXCL rarely has to try again.
QString temporaryNameFor(const QFileInfo& target)
{
    return target.absolutePath() + QStringLiteral("/.") + target.fileName() + QLatin1Char('.') +
           QString::number(QRandomGenerator::global()->generate64(), 36) + QStringLiteral(".tmp");
}

} // namespace

bool replaceFileAtomically(const QString& path, const QByteArray& bytes)
{
    const QFileInfo target(path);
    for (int attempt = 0; attempt < 4; ++attempt) {
        QFile temporary(temporaryNameFor(target));
        if (!temporary.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (temporary.error() == QFileDevice::OpenError && temporary.exists())
                continue; // name taken: draw another
            return false;
        }
        const bool written = temporary.write(bytes) == bytes.size() && temporary.flush();
        temporary.close();
        // std::rename replaces an existing target in one step (QFile::rename refuses to).
        if (written && temporary.error() == QFileDevice::NoError &&
            std::rename(QFile::encodeName(temporary.fileName()).constData(),
                        QFile::encodeName(path).constData()) == 0)
            return true;
        temporary.remove();
        return false;
    }
    return false;
}
