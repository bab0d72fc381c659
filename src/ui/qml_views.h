#pragma once

#include <QString>
#include <QUrl>
#include <QVariantMap>

class QQmlEngine;
class QQuickWindow;

// Where the compiled-in QML views live, and the engine set-up every window shares.
namespace qml_views {

// "qrc:/ui/<file>" for a QML file of the interface, say "MainPanel.qml".
QUrl url(const QString& file);
// Our windows are small and mostly still: Qt Quick's software renderer draws them for a
// fraction of the memory a GL driver takes (Mesa's llvmpipe alone maps 55 MB). A
// QT_QUICK_BACKEND set by the user wins. Call before the first window is created.
void chooseRenderer();
// Registers the controller types the views name and sets the style the views expect.
// Call for each engine, before its first view is created.
void prepareEngine(QQmlEngine& engine);

// A QML file whose root is a Window, created hidden with `properties` and owned by the
// caller; none (and a log line) when it fails to load.
QQuickWindow* createWindow(QQmlEngine& engine, const QString& file, const QVariantMap& properties);

} // namespace qml_views
