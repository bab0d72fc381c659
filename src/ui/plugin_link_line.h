#pragma once

#include <QColor>
#include <QString>

// The main panel's line about the link to the Auto-Tune plug-in.
struct PluginLinkLine {
    QString text;
    QColor color;
};

// Connected (with the host's variant name when known), installed but not loaded, or absent.
PluginLinkLine pluginLinkLine(bool connected, const QString& hostVariant, bool autoTuneInstalled);
