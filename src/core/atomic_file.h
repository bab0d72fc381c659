#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file's content atomically: the bytes go to a new temporary file in the same
// directory, which is then renamed over the target, so a reader sees the old content or
// the new one and never a torn file. Nothing is synced to disk: this buys atomicity, not
// durability, and costs no disk flush on the calling thread. A new file gets the usual
// permissions (0666 less the umask); on any failure the temporary file is removed and the
// target is left as it was.
//
// Thread safety: any thread; concurrent replacements of one file leave one of them whole.
bool replaceFileAtomically(const QString& path, const QByteArray& bytes);
