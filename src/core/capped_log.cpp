#include "core/capped_log.h"

#include "core/atomic_file.h"
#include "core/single_line.h"

#include <QFile>
#include <QMutex>
#include <cstdio>

namespace capped_log {

QString predecessorPath(const QString& path)
{
    return path + QStringLiteral(".1");
}

bool appendLine(const QString& path, const QString& text, qint64 capBytes)
{
    static QMutex mutex;
    const QMutexLocker lock(&mutex);

    const QByteArray line = singleLine(text).toUtf8() + '\n';
    QFile log(path);
    if (!log.exists())
        return replaceFileAtomically(path, line);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const qint64 size = log.size();
    if (size > 0 && size + line.size() > capBytes) {
        log.close();
        if (std::rename(QFile::encodeName(path).constData(),
                        QFile::encodeName(predecessorPath(path)).constData()) != 0)
            return false;
        return replaceFileAtomically(path, line);
    }
    return log.write(line) == line.size() && log.flush();
}

} // namespace capped_log
