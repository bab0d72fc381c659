#pragma once

#include <QString>
#include <QUrl>

class QQmlEngine;

// Where the compiled-in QML views live, and the engine set-up every window shares.
namespace qml_views {

// "qrc:/ui/<file>" for a QML file of the interface, say "MainPanel.qml".
QUrl url(const QString& file);
// Registers the controller types the views name and sets the style the views expect.
// Call for each engine, before its first view is created.
void prepareEngine(QQmlEngine& engine);

} // namespace qml_views
