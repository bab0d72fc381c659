#include "ui/consent_controller.h"

#include "service/service_address.h"

#include <QDesktopServices>
#include <QUrl>

QString ConsentController::privacyURL() const
{
    return QString::fromLatin1(service_address::kPrivacyPolicyURL);
}

void ConsentController::openPrivacyPolicy()
{
    QDesktopServices::openUrl(QUrl(privacyURL()));
}
