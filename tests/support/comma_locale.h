#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <clocale>
#include <gtest/gtest.h>
#include <memory>
#include <string>

// A fixture that switches the C locale to German (comma as decimal separator), built with
// localedef into a temporary folder, for tests of locale-independent number formatting.
class CommaLocale : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<QTemporaryDir>();
        QProcess localedef;
        localedef.start(QStringLiteral("localedef"),
                        {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                         QStringLiteral("UTF-8"), s_dir->filePath(QStringLiteral("de_DE.UTF-8"))});
        localedef.waitForFinished(60'000);
        s_setupLog = localedef.readAllStandardError().toStdString();
    }
    static void TearDownTestSuite() { s_dir.reset(); }
    void SetUp() override
    {
        m_previous = std::setlocale(LC_ALL, nullptr);
        m_previousLocpath = qgetenv("LOCPATH");
        qputenv("LOCPATH", s_dir->path().toUtf8());
        ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
            << "localedef (Debian package \"locales\") could not build de_DE.UTF-8: " << s_setupLog;
    }
    void TearDown() override
    {
        std::setlocale(LC_ALL, m_previous.c_str());
        m_previousLocpath.isNull() ? qunsetenv("LOCPATH") : qputenv("LOCPATH", m_previousLocpath);
    }

    static inline std::unique_ptr<QTemporaryDir> s_dir;
    static inline std::string s_setupLog;
    std::string m_previous;
    QByteArray m_previousLocpath;
};
