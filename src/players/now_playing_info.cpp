#include "players/now_playing_info.h"

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

NowPlayingInfo parseAdapterInfo(const QVariantMap& d, const AppNameLookup& appName)
{
    NowPlayingInfo info;
    const QVariant playing = d.value(keys::playing);
    info.isPlaying = playing.typeId() == QMetaType::Bool && playing.toBool();

    const std::optional<QString> bundle = textValue(d, keys::bundleIdentifier)
                                              ? textValue(d, keys::bundleIdentifier)
                                              : textValue(d, keys::parentApplicationBundleIdentifier);

    QString name;
    const QVariant pid = d.value(keys::processIdentifier);
    if (isNumber(pid) && pid.toDouble() >= 1 && appName)
        name = appName(static_cast<qint64>(pid.toDouble())).value_or(QString());

    info.source = player_source::fromApplication(bundle.value_or(QString()), name);
    if (!info.source) {
        if (const auto identity = textValue(d, keys::playerIdentity))
            info.source = player_source::fromApplication(bundle.value_or(QString()), *identity);
    }

    const QString title = textValue(d, keys::title).value_or(QString()).trimmed();
    const QString artist = textValue(d, keys::artist).value_or(QString());
    if (Song::isValid(artist, title))
        info.song = Song{title, artist};

    const QString item = textValue(d, keys::uniqueIdentifier)
                             .value_or(textValue(d, keys::contentItemIdentifier).value_or(QString()));
    info.identity = bundle.value_or(QString()) + QLatin1Char('|') + title + QLatin1Char('|') + artist +
                    QLatin1Char('|') + item;
    info.artwork = decodeArtwork(d);
    return info;
}

} // namespace now_playing
