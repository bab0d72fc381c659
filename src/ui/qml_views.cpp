#include "ui/qml_views.h"

#include <QLoggingCategory>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSGRendererInterface>

Q_LOGGING_CATEGORY(lcViews, "tonivox.ui")

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

QQuickWindow* createWindow(QQmlEngine& engine, const QString& file, const QVariantMap& properties)
{
    QQmlComponent component(&engine, url(file));
    QObject* object = component.createWithInitialProperties(properties);
    if (!object) {
        qCCritical(lcViews).noquote() << file << "did not load:" << component.errorString();
        return nullptr;
    }
    auto* window = qobject_cast<QQuickWindow*>(object);
    if (!window) {
        qCCritical(lcViews).noquote() << file << "is not a window";
        delete object;
        return nullptr;
    }
    QQmlEngine::setObjectOwnership(window, QQmlEngine::CppOwnership);
    return window;
}

} // namespace qml_views
