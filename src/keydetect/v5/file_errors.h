#pragma once

#include <QString>

// Load-error texts of the detector's resource files, worded like the platform's own.
namespace file_errors {

inline QString noSuchFile(const QString& path)
{
    return QStringLiteral("The file “%1” couldn’t be opened because there is no such file.").arg(path);
}

} // namespace file_errors
