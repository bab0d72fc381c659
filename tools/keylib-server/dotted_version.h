#pragma once

#include <QString>

// Compares dotted version texts number by number ("0.10" is newer than "0.9"; missing
// parts count as 0, as do parts that are not numbers). Negative, zero or positive.
int compareDottedVersions(const QString& a, const QString& b);
