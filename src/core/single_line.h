#pragma once

#include <QString>

// Outside text (song titles from MPRIS or a player's files, the service's answers) put
// into a line-oriented file: every character of Unicode category Cc (LF, CR, tab, NUL,
// DEL, the C1 controls) becomes a space, so one value stays one line and cannot forge the
// lines that follow it.
//
// Pure and thread-safe.
QString singleLine(QString text);
