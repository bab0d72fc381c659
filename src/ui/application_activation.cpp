#include "ui/application_activation.h"

#include "core/app_identity.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QThread>
#include <algorithm>

Q_LOGGING_CATEGORY(lcActivation, "tonivox.activation")

namespace {

class FreedesktopApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit FreedesktopApplicationAdaptor(ApplicationActivation* owner)
        : QDBusAbstractAdaptor(owner), m_owner(owner)
    {}

public slots:
    void Activate(const QVariantMap& /*platformData*/) { emit m_owner->activateRequested(); }
    void Open(const QStringList& /*uris*/, const QVariantMap& /*platformData*/)
    {
        emit m_owner->activateRequested();
    }
    // The desktop file's actions; unknown names are ignored by whoever listens.
    void ActivateAction(const QString& name, const QVariantList& /*parameter*/,
                        const QVariantMap& /*platformData*/)
    {
        emit m_owner->actionRequested(name);
    }

private:
    ApplicationActivation* m_owner;
};

} // namespace

QString ApplicationActivation::objectPath()
{
    return QLatin1Char('/') + QString::fromLatin1(kAppId).replace(QLatin1Char('.'), QLatin1Char('/'));
}

ApplicationActivation::ApplicationActivation(QObject* parent) : QObject(parent)
{
    new FreedesktopApplicationAdaptor(this);
}

ApplicationActivation::~ApplicationActivation()
{
    if (!m_registered)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(objectPath());
    bus.unregisterService(QString::fromLatin1(kAppId));
}

bool ApplicationActivation::registerOnSessionBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcActivation) << "no session bus: a second start cannot reach this one";
        return false;
    }
    if (!bus.registerObject(objectPath(), this, QDBusConnection::ExportAdaptors))
        return false;
    if (!bus.registerService(QString::fromLatin1(kAppId))) {
        qCWarning(lcActivation) << kAppId << "is owned by another process:" << bus.lastError().message();
        bus.unregisterObject(objectPath());
        return false;
    }
    m_registered = true;
    return true;
}

bool ApplicationActivation::activateRunningInstance(std::chrono::milliseconds timeout, const QString& action)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kAppId), objectPath(), QStringLiteral("org.freedesktop.Application"),
        action.isEmpty() ? QStringLiteral("Activate") : QStringLiteral("ActivateAction"));
    QVariantMap platformData;
    const QByteArray startupId = qgetenv("DESKTOP_STARTUP_ID");
    if (!startupId.isEmpty())
        platformData.insert(QStringLiteral("desktop-startup-id"), QString::fromUtf8(startupId));
    if (!action.isEmpty())
        call << action << QVariantList{};
    call << platformData;
    // The running instance takes the lock before it owns the name: while it starts, ask
    // again until the deadline.
    QDeadlineTimer deadline(timeout);
    for (;;) {
        const QDBusMessage reply =
            bus.call(call, QDBus::Block, static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
        if (reply.type() == QDBusMessage::ReplyMessage)
            return true;
        const bool notYetThere =
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
        if (!notYetThere || deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
}

#include "application_activation.moc"
