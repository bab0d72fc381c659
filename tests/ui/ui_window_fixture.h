#pragma once

#include "platform/x11_window_state.h"
#include "support/ui_testing.h"
#include "ui/qml_views.h"

#include <QCoreApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <gtest/gtest.h>
#include <memory>

// Real windows on the test display, rendered in software, built from QML written in the test.
class UiWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ui_testing::useSoftwareRendering(); }

    void SetUp() override
    {
        ASSERT_NE(platform::x11Connection(), nullptr) << "needs the xcb platform (tests/run-with-services)";
    }

    // One engine for the whole program, as the application has; it goes with the application.
    static QQmlEngine& engine()
    {
        static QQmlEngine* shared = [] {
            auto* created = new QQmlEngine(qApp);
            qml_views::prepareEngine(*created);
            return created;
        }();
        return *shared;
    }

    // A window from QML source whose root is a Window; the theme is imported as "qrc:/ui".
    std::unique_ptr<QQuickWindow> createWindow(const QByteArray& body)
    {
        QQmlComponent component(&engine());
        component.setData("import QtQuick\nimport QtQuick.Controls\nimport \"qrc:/ui\"\n" + body,
                          QUrl(QStringLiteral("test_scene.qml")));
        std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow*>(component.create()));
        EXPECT_TRUE(window) << qPrintable(component.errorString());
        return window;
    }

    static quint32 id(const QWindow& window) { return quint32(window.winId()); }
};
