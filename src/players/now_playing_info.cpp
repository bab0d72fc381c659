#include "players/now_playing_info.h"

#include "core/single_line.h"

#include <QByteArray>

namespace now_playing {
namespace {

std::optional<QString> textValue(const QVariantMap& d, const QString& key)
{
    const QVariant value = d.value(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

bool isNumber(const QVariant& value)
{
    const int type = value.typeId();
    return type == QMetaType::Int || type == QMetaType::UInt || type == QMetaType::LongLong ||
           type == QMetaType::ULongLong || type == QMetaType::Double;
}

std::optional<QImage> decodeArtwork(const QVariantMap& d)
{
    const auto base64 = textValue(d, keys::artworkData);
    if (!base64)
        return std::nullopt;
    const auto bytes =
        QByteArray::fromBase64Encoding(base64->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!bytes || bytes.decoded.isEmpty())
        return std::nullopt;
    QImage image = QImage::fromData(bytes.decoded);
    if (image.isNull())
        return std::nullopt;
    return image;
}

} // namespace

NowPlayingInfo parseAdapterInfo(const QVariantMap& d, const ApplicationLookup& application)
{
    NowPlayingInfo info;
    const QVariant playing = d.value(keys::playing);
    info.isPlaying = playing.typeId() == QMetaType::Bool && playing.toBool();

    const std::optional<QString> bundle = textValue(d, keys::bundleIdentifier)
                                              ? textValue(d, keys::bundleIdentifier)
                                              : textValue(d, keys::parentApplicationBundleIdentifier);

    // Chromium and Electron players register under generic names ("chromium.instance<N>"),
    // so the process that owns the name comes first.
    const QVariant pid = d.value(keys::processIdentifier);
    if (isNumber(pid) && pid.toDouble() >= 1 && application) {
        if (const auto app = application(static_cast<qint64>(pid.toDouble()))) {
            if (const auto found = player_source::fromProcess(app->bundleIdentifier, app->localizedName,
                                                              app->windowsProgram))
                info.source = found->source;
        }
    }
    if (!info.source && bundle)
        info.source = player_source::fromApplication(*bundle, *bundle);
    const std::optional<QString> identity = textValue(d, keys::playerIdentity);
    if (!info.source && identity)
        info.source = player_source::fromApplication(QString(), *identity);
    // Shown in the panel and sent in reports: one short line.
    constexpr qsizetype kMaxNameLength = 64;
    const QString name = singleLine(identity.value_or(QString())).simplified();
    info.playerName =
        (name.isEmpty() ? singleLine(bundle.value_or(QString())).simplified() : name).left(kMaxNameLength);

    const QString title = textValue(d, keys::title).value_or(QString()).trimmed();
    const QString artist = textValue(d, keys::artist).value_or(QString());
    const QString item = textValue(d, keys::uniqueIdentifier)
                             .value_or(textValue(d, keys::contentItemIdentifier).value_or(QString()));
    // Adverts: "/com/spotify/ad/<id>" as an object path, "spotify:ad:<id>" in older clients.
    const bool advert = item.contains(QLatin1String("/ad/")) || item.contains(QLatin1String(":ad:"));
    if (!advert && Song::isValid(artist, title))
        info.song = Song{title, artist};

    info.identity = bundle.value_or(QString()) + QLatin1Char('|') + title + QLatin1Char('|') + artist +
                    QLatin1Char('|') + item;
    info.artwork = decodeArtwork(d);
    return info;
}

} // namespace now_playing
