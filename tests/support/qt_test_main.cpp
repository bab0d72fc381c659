// GoogleTest main with a Qt application object, so that tests can run timers, event
// loops and coroutines. QApplication when a display is there (the interface's save dialog
// is a widget), else QCoreApplication.
#include <QApplication>
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<QCoreApplication> app;
    if (qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tonivox"));
    QCoreApplication::setApplicationName(QStringLiteral("TonivoxTests"));
    return RUN_ALL_TESTS();
}
