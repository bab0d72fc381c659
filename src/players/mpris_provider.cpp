#include "players/mpris_provider.h"

#include "players/file_times.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QUrl>
#include <algorithm>
#include <vector>

namespace {

const QString kPrefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");

QDBusConnection connection(const QString& address)
{
    if (address.isEmpty())
        return QDBusConnection::sessionBus();
    // connectToBus reuses the named connection once it exists.
    return QDBusConnection::connectToBus(address, QStringLiteral("tonivox-mpris ") + address);
}

int remaining_ms(const QDeadlineTimer& deadline)
{
    return static_cast<int>(std::max<qint64>(1, deadline.remainingTime()));
}

QDBusPendingCall getAll(const QDBusConnection& bus, const QString& service, const QString& interface,
                        const QDeadlineTimer& deadline)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    message << interface;
    return bus.asyncCall(message, remaining_ms(deadline));
}

// Nested dictionaries arrive still marshalled.
QVariantMap asMap(const QVariant& value)
{
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

QVariantMap properties(QDBusPendingCall& call)
{
    call.waitForFinished();
    QDBusPendingReply<QVariantMap> reply = call;
    return reply.isValid() ? reply.value() : QVariantMap();
}

QString text(const QVariant& value)
{
    if (value.canConvert<QDBusObjectPath>() && value.typeId() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

// xesam:artist is a list of names; some players send a single text instead.
QString artists(const QVariant& value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char('/'));
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QStringList>(value.value<QDBusArgument>()).join(QLatin1Char('/'));
    return text(value);
}

std::optional<QString> artworkBase64(const QVariant& artUrl)
{
    const QUrl url(text(artUrl));
    if (!url.isLocalFile())
        return std::nullopt;
    const auto bytes = file_times::readFile(url.toLocalFile(), MprisProvider::kMaxArtworkBytes);
    if (!bytes || bytes->isEmpty())
        return std::nullopt;
    return QString::fromLatin1(bytes->toBase64());
}

// Of several players, one that plays and has a title comes first, then one that plays, then
// one with a title; among equals the first in bus-name order.
int answerRank(const QVariantMap& answer)
{
    const bool playing = answer.value(now_playing::keys::playing).toBool();
    const bool titled = !answer.value(now_playing::keys::title).toString().trimmed().isEmpty();
    return (playing ? 2 : 0) + (titled ? 1 : 0);
}

struct PlayerCalls {
    QString name;
    QDBusPendingCall player;
    QDBusPendingCall root;
    QDBusPendingCall pid;
};

} // namespace

// Receives the bus signals on the thread that asked to watch.
class MprisProvider::ChangeWatcher : public QObject {
    Q_OBJECT
public:
    ChangeWatcher(QDBusConnection bus, std::function<void()> onChange)
        : m_bus(std::move(bus)), m_onChange(std::move(onChange))
    {
        m_bus.connect(QString(), kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                      QStringLiteral("PropertiesChanged"), this, SLOT(changed()));
        m_bus.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                      SLOT(nameOwnerChanged(QString)));
    }

public slots:
    void changed() { m_onChange(); }
    void nameOwnerChanged(const QString& name)
    {
        if (name.startsWith(kPrefix))
            m_onChange();
    }

private:
    QDBusConnection m_bus;
    std::function<void()> m_onChange;
};

MprisProvider::MprisProvider(QString busAddress, std::chrono::milliseconds timeout)
    : m_busAddress(std::move(busAddress)), m_timeout(timeout)
{}

MprisProvider::~MprisProvider() = default;

void MprisProvider::watchChanges(std::function<void()> onChange)
{
    m_watcher.reset();
    if (onChange)
        m_watcher = std::make_unique<ChangeWatcher>(connection(m_busAddress), std::move(onChange));
}

std::optional<QVariantMap> MprisProvider::adapterInfo()
{
    const QDeadlineTimer deadline(m_timeout);
    const QDBusConnection bus = connection(m_busAddress);
    if (!bus.isConnected())
        return std::nullopt;

    QDBusPendingCall listCall =
        bus.asyncCall(QDBusMessage::createMethodCall(
                          QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                          QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListNames")),
                      remaining_ms(deadline));
    listCall.waitForFinished();
    QDBusPendingReply<QStringList> names = listCall;
    if (!names.isValid() || deadline.hasExpired())
        return std::nullopt;
    QStringList players = names.value().filter(kPrefix);
    players.removeIf([](const QString& name) { return !name.startsWith(kPrefix); });
    players.sort();

    // Every round trip goes out at once and shares the deadline.
    std::vector<PlayerCalls> calls;
    for (const QString& name : std::as_const(players)) {
        QDBusMessage pid = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
        pid << name;
        calls.push_back({name, getAll(bus, name, QStringLiteral("org.mpris.MediaPlayer2.Player"), deadline),
                         getAll(bus, name, QStringLiteral("org.mpris.MediaPlayer2"), deadline),
                         bus.asyncCall(pid, remaining_ms(deadline))});
    }

    std::optional<std::pair<QVariantMap, QVariant>> chosen; // answer, cover URL
    int chosenRank = 0;
    for (PlayerCalls& call : calls) {
        const QVariantMap player = properties(call.player);
        if (player.isEmpty())
            continue;
        const QVariantMap root = properties(call.root);
        call.pid.waitForFinished();
        const QDBusPendingReply<uint> pid = call.pid;

        const QVariantMap metadata = asMap(player.value(QStringLiteral("Metadata")));
        const bool playing =
            player.value(QStringLiteral("PlaybackStatus")).toString() == QStringLiteral("Playing");
        QVariantMap answer;
        answer.insert(now_playing::keys::playing, playing);
        const QString desktopEntry = root.value(QStringLiteral("DesktopEntry")).toString();
        answer.insert(now_playing::keys::bundleIdentifier,
                      desktopEntry.isEmpty() ? call.name.mid(kPrefix.size()) : desktopEntry);
        if (pid.isValid())
            answer.insert(now_playing::keys::processIdentifier, static_cast<qlonglong>(pid.value()));
        const QString identity = root.value(QStringLiteral("Identity")).toString();
        if (!identity.isEmpty())
            answer.insert(now_playing::keys::playerIdentity, identity);
        answer.insert(now_playing::keys::title, text(metadata.value(QStringLiteral("xesam:title"))));
        answer.insert(now_playing::keys::artist, artists(metadata.value(QStringLiteral("xesam:artist"))));
        const QString trackId = text(metadata.value(QStringLiteral("mpris:trackid")));
        if (!trackId.isEmpty())
            answer.insert(now_playing::keys::uniqueIdentifier, trackId);
        const QVariant artUrl = metadata.value(QStringLiteral("mpris:artUrl"));
        const int rank = answerRank(answer);
        if (!chosen || rank > chosenRank) {
            chosen.emplace(std::move(answer), artUrl);
            chosenRank = rank;
        }
    }
    if (!chosen)
        return std::nullopt;
    // Only the chosen player's cover is read.
    if (const auto artwork = artworkBase64(chosen->second))
        chosen->first.insert(now_playing::keys::artworkData, *artwork);
    return chosen->first;
}

#include "mpris_provider.moc"
