#include "dotted_version.h"

#include <QStringList>
#include <algorithm>

int compareDottedVersions(const QString& a, const QString& b)
{
    const QStringList pa = a.trimmed().split(QLatin1Char('.'));
    const QStringList pb = b.trimmed().split(QLatin1Char('.'));
    const qsizetype n = std::max(pa.size(), pb.size());
    for (qsizetype i = 0; i < n; ++i) {
        const qlonglong x = i < pa.size() ? pa[i].toLongLong() : 0;
        const qlonglong y = i < pb.size() ? pb[i].toLongLong() : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}
