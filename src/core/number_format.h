#pragma once

#include <QByteArray>
#include <QString>

// Numbers as files, logs, reports and command-line arguments carry them: fixed decimals
// with a point, whatever the process locale. Qt sets the C locale from the environment at
// start, and printf-style formatting follows it ("0,5000" under de_DE), so nothing that
// leaves the process may format a number with it.
//
// Pure and thread-safe.
namespace number_format {

// What "%.<decimals>f" gives in the "C" locale: fixed(0.5, 4) == "0.5000",
// fixed(-0.00004, 4) == "-0.0000". decimals is clamped to 0..20. Non-finite values come
// out as "nan", "-nan", "inf" or "-inf".
QByteArray fixed(double value, int decimals);
// The same as text.
QString fixedText(double value, int decimals);

} // namespace number_format
