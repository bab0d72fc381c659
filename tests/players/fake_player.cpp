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

class PlayerState : public QObject {
    Q_OBJECT
public:
    QString identity;
    QString desktopEntry;
    QString status = QStringLiteral("Stopped");
    QVariantMap metadata;
};

class RootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
public:
    RootAdaptor(PlayerState* state) : QDBusAbstractAdaptor(state), m_state(state) {}
    QString identity() const { return m_state->identity; }
    QString desktopEntry() const { return m_state->desktopEntry; }

private:
    PlayerState* m_state;
};

class PlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
public:
    PlayerAdaptor(PlayerState* state) : QDBusAbstractAdaptor(state), m_state(state) {}
    QString playbackStatus() const { return m_state->status; }
    QVariantMap metadata() const { return m_state->metadata; }

private:
    PlayerState* m_state;
};

class ScriptAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tonivox.FakePlayer")
public:
    ScriptAdaptor(PlayerState* state) : QDBusAbstractAdaptor(state), m_state(state) {}

public slots:
    void SetStatus(const QString& status)
    {
        m_state->status = status;
        announce(QStringLiteral("PlaybackStatus"), status);
    }
    void SetMetadata(const QVariantMap& metadata)
    {
        // A text sent for "mpris:trackid" is served as an object path, as players do.
        m_state->metadata = metadata;
        const QString trackId = metadata.value(QStringLiteral("mpris:trackid")).toString();
        if (trackId.startsWith(QLatin1Char('/')))
            m_state->metadata.insert(QStringLiteral("mpris:trackid"),
                                     QVariant::fromValue(QDBusObjectPath(trackId)));
        announce(QStringLiteral("Metadata"), m_state->metadata);
    }
    // Stops answering for a while, as a hung player does.
    void Freeze(int ms)
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

    PlayerState* m_state;
};

int main(int argc, char** argv)
{
    // Never outlive the test that started us.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption mpris(QStringLiteral("mpris"), QStringLiteral("bus name suffix"),
                                   QStringLiteral("name"));
    const QCommandLineOption identity(QStringLiteral("identity"), QStringLiteral("Identity"),
                                      QStringLiteral("text"));
    const QCommandLineOption desktop(QStringLiteral("desktop-entry"), QStringLiteral("DesktopEntry"),
                                     QStringLiteral("text"));
    parser.addOptions({mpris, identity, desktop});
    parser.process(app);

    PlayerState state;
    if (parser.isSet(mpris)) {
        state.identity = parser.value(identity);
        state.desktopEntry = parser.value(desktop);
        new RootAdaptor(&state);
        new PlayerAdaptor(&state);
        new ScriptAdaptor(&state);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.registerObject(QStringLiteral("/org/mpris/MediaPlayer2"), &state) ||
            !bus.registerService(QStringLiteral("org.mpris.MediaPlayer2.") + parser.value(mpris))) {
            std::fprintf(stderr, "fake player: cannot register on the bus\n");
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "fake_player.moc"
