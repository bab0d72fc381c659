#include "ui/qml_views.h"

#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSGRendererInterface>

namespace qml_views {

QUrl url(const QString& file)
{
    return QUrl(QStringLiteral("qrc:/ui/") + file);
}

void chooseRenderer()
{
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

void prepareEngine(QQmlEngine& engine)
{
    // The views draw their own controls; the Basic style follows their palette and never
    // pulls in a desktop theme that differs between machines.
    // Once per process: the style cannot change after the controls have loaded.
    static const bool styled = [] {
        QQuickStyle::setStyle(QStringLiteral("Basic"));
        return true;
    }();
    Q_UNUSED(styled);
    engine.addImportPath(QStringLiteral("qrc:/ui"));
}

} // namespace qml_views
