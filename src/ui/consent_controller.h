#pragma once

#include <QObject>
#include <QString>

// The privacy-consent window's two answers and its policy link.
class ConsentController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString privacyURL READ privacyURL CONSTANT)
public:
    using QObject::QObject;
    QString privacyURL() const;

    // "同意并继续"
    Q_INVOKABLE void accept() { emit accepted(); }
    // "不同意"
    Q_INVOKABLE void decline() { emit declined(); }
    Q_INVOKABLE void openPrivacyPolicy();

signals:
    void accepted();
    void declined();
};
