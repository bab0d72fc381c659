#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The command-line switches that divert the process to an offline key test.
enum class OfflineMode {
    keytest,
    keytestV5,
    v5CqtDump,
    v5PcmDump,
    v5ResampledDump,
    v5Features,
    keytestDecide
};

QString switchName(OfflineMode mode);
// Searches the arguments (anywhere in the list) for the switches in their fixed order;
// the first switch of that order that is present wins.
std::optional<OfflineMode> detectOfflineMode(const QStringList& arguments);
