// A stand-in for a desktop music player. Copied under a player's executable name it makes
// /proc list that player; with --mpris it also serves an MPRIS player on the session bus,
// scripted through the extra interface org.tonivox.FakePlayer.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

// The player's state, and the script interface as its own scriptable slots.
class PlayerState : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tonivox.FakePlayer")
public:
    QString identity, desktopEntry, status = QStringLiteral("Stopped");
    QVariantMap metadata;

public slots:
    Q_SCRIPTABLE void SetStatus(const QString& value)
    {
        announce(QStringLiteral("PlaybackStatus"), status = value);
    }
    Q_SCRIPTABLE void SetMetadata(const QVariantMap& value)
    {
        // A text sent for "mpris:trackid" is served as an object path, as players do.
        metadata = value;
        const QString trackId = value.value(QStringLiteral("mpris:trackid")).toString();
        if (trackId.startsWith(u'/'))
            metadata.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(trackId)));
        announce(QStringLiteral("Metadata"), metadata);
    }
    // Stops answering for a while, as a hung player does.
    Q_SCRIPTABLE void Freeze(int ms)
    {
        QTimer::singleShot(0, this, [ms] { QThread::msleep(static_cast<unsigned long>(ms)); });
    }

private:
    // As players do: PropertiesChanged of the player interface.
    static void announce(const QString& property, const QVariant& value)
    {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/mpris/MediaPlayer2"),
                                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("PropertiesChanged"));
        signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << QVariantMap{{property, value}}
               << QStringList();
        QDBusConnection::sessionBus().send(signal);
    }
};

class RootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(QString Identity MEMBER identity)
    Q_PROPERTY(QString DesktopEntry MEMBER desktopEntry)
public:
    explicit RootAdaptor(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    QString identity, desktopEntry;
};

class PlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
public:
    explicit PlayerAdaptor(PlayerState* state) : QDBusAbstractAdaptor(state), m_state(state) {}
    QString playbackStatus() const { return m_state->status; }
    QVariantMap metadata() const { return m_state->metadata; }

private:
    PlayerState* m_state;
};

int main(int argc, char** argv)
{
    // Never outlive the test that started us.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions(
        {{QStringLiteral("mpris"), QStringLiteral("bus name suffix"), QStringLiteral("name")},
         {QStringLiteral("identity"), QStringLiteral("Identity"), QStringLiteral("text")},
         {QStringLiteral("desktop-entry"), QStringLiteral("DesktopEntry"), QStringLiteral("text")}});
    parser.process(app);

    PlayerState state;
    if (parser.isSet(QStringLiteral("mpris"))) {
        auto* root = new RootAdaptor(&state);
        root->identity = parser.value(QStringLiteral("identity"));
        root->desktopEntry = parser.value(QStringLiteral("desktop-entry"));
        new PlayerAdaptor(&state);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.registerObject(QStringLiteral("/org/mpris/MediaPlayer2"), &state,
                                QDBusConnection::ExportAdaptors | QDBusConnection::ExportScriptableSlots) ||
            !bus.registerService(QStringLiteral("org.mpris.MediaPlayer2.") +
                                 parser.value(QStringLiteral("mpris")))) {
            std::fprintf(stderr, "fake player: cannot register on the bus\n");
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "fake_player.moc"
