#include "ui/qml_views.h"

#include <QQmlEngine>
#include <QQuickStyle>

namespace qml_views {

QUrl url(const QString& file)
{
    return QUrl(QStringLiteral("qrc:/ui/") + file);
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
