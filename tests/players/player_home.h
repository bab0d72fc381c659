#pragma once

#include "support/temp_home.h"

#include <QDir>
#include <QStringList>

// A temporary home plus a temporary folder of its own for the readers' private copies,
// so a test can check that every copy is gone again.
class PlayerHome {
public:
    PlayerHome() { QDir().mkpath(tempDir()); }
    QString path() const { return m_home.path(); }
    QString tempDir() const { return m_home.path() + QStringLiteral("/tmp"); }
    QStringList leftInTemp() const { return QDir(tempDir()).entryList(QDir::Files | QDir::NoDotAndDotDot); }

private:
    TempHome m_home;
};
