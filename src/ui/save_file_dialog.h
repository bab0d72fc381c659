#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <optional>
#include <stop_token>

// Asks where to save a text file in a real dialog window of its own: the desktop's native
// one when the platform theme offers it (the XDG portal, GTK, KDE), Qt's own otherwise. It
// opens raised and focused, lets the user create folders and offers plain text only.
// Nothing when the user cancels or stop is requested (which closes the dialog).
//
// Thread safety: main thread; needs a QApplication.
QCoro::Task<std::optional<QString>> askSaveTextFile(QString title, QString proposedPath,
                                                    std::stop_token stop);
