#include "core/app_state.h"

#include "core/key_notation.h"
#include "core/now_playing_reader.h"
#include "core/settings_store.h"

#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>

namespace {

// Artist texts as the artwork match compares them: no spaces, "／" and "," as "/".
QString looseArtist(const QString& artist)
{
    QString s = artist;
    s.remove(QLatin1Char(' '));
    s.replace(QStringLiteral("／"), QStringLiteral("/"));
    s.replace(QLatin1Char(','), QLatin1Char('/'));
    return s.toLower();
}

bool artworkMatches(const Song& current, const Song& nowPlaying)
{
    if (Song::isSameSong(current, nowPlaying))
        return true;
    const QString a = looseArtist(current.artist);
    const QString b = looseArtist(nowPlaying.artist);
    return !a.isEmpty() && !b.isEmpty() && (a == b || a.contains(b) || b.contains(a));
}

} // namespace

AppState::AppState(SettingsStore& settings, QObject* parent) : QObject(parent), m_settings(settings)
{
    m_simulateNotch = m_settings.simulateNotch();
    m_floatingBarStyle = initialFloatingBarStyle(m_settings);
    // Custom settings count as stored when their dictionary is present.
    m_hasCustomPreset = m_settings.customAutoTuneSettings().has_value();
    m_transpose = m_settings.lastUsedTranspose();

    m_artworkTimer.setInterval(kArtworkPeriod_ms);
    m_artworkTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_artworkTimer, &QTimer::timeout, this, &AppState::artworkTick);
    m_artworkTimer.start();
}

AppState::~AppState()
{
    if (m_artworkRead)
        m_artworkRead->waitForFinished();
}

namespace {
std::atomic<AppState*> installedState{nullptr};
}

AppState& AppState::shared()
{
    AppState* state = installedState.load();
    if (!state)
        qFatal("AppState::shared() called while no owner of the run exists");
    return *state;
}

AppState* AppState::installShared(AppState* state)
{
    return installedState.exchange(state);
}

QMap<QString, QString> AppState::pluginMeta() const
{
    return {{QStringLiteral("song"), displaySong()},
            {QStringLiteral("key"), displayKey()},
            {QStringLiteral("detail"), keyDetail()},
            {QStringLiteral("source"), songSource()}};
}

void AppState::setNowPlayingReader(std::shared_ptr<NowPlayingReader> reader)
{
    if (m_artworkRead)
        m_artworkRead->waitForFinished();
    m_nowPlaying = std::move(reader);
}

std::optional<int> AppState::noteSemitone(const QString& name)
{
    return key_notation::noteSemitone(name);
}

QString AppState::normalizeKeyNotation(const QString& text)
{
    return key_notation::normalizeKeyNotation(text);
}

void AppState::artworkTick()
{
    // One read at a time: a slow source never piles up reads.
    if (!m_nowPlaying || m_artworkRead)
        return;
    auto* watcher = new QFutureWatcher<NowPlayingReading>(this);
    m_artworkRead = watcher;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        m_artworkRead = nullptr;
        watcher->deleteLater();
        if (watcher->future().resultCount() > 0)
            applyNowPlaying(watcher->result());
    });
    std::shared_ptr<NowPlayingReader> reader = m_nowPlaying;
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [reader] { return reader->read(); }));
}

void AppState::applyNowPlaying(const NowPlayingReading& reading)
{
    if (!reading.song)
        return;
    if (!m_current) {
        setArtwork(std::nullopt);
        return;
    }
    if (artworkMatches(*m_current, *reading.song)) {
        if (reading.artwork)
            setArtwork(reading.artwork);
    } else {
        setArtwork(std::nullopt);
    }
}

QVariant AppState::currentVariant() const
{
    if (!m_current)
        return {};
    return QVariantMap{{QStringLiteral("title"), m_current->title},
                       {QStringLiteral("artist"), m_current->artist}};
}

QVariant AppState::manualScaleIndexVariant() const
{
    return m_manualScaleIndex ? QVariant(*m_manualScaleIndex) : QVariant();
}

QVariant AppState::keyLinkWarningVariant() const
{
    return m_keyLinkWarning ? QVariant(*m_keyLinkWarning) : QVariant();
}

void AppState::setFloatingBarStyleRaw(const QString& raw)
{
    if (const auto style = floatingBarStyleFromRaw(raw))
        setFloatingBarStyle(*style);
}

QVariantList AppState::channelsVariant() const
{
    QVariantList list;
    for (const AudioChannel& channel : m_channels)
        list.append(
            QVariantMap{{QStringLiteral("name"), channel.name}, {QStringLiteral("uid"), channel.uid}});
    return list;
}

QString AppState::displaySong() const
{
    if (!m_current)
        return QStringLiteral("来首歌吧～");
    if (m_current->artist.isEmpty())
        return m_current->title;
    return m_current->artist + QStringLiteral(" - ") + m_current->title;
}

QString AppState::displayKey() const
{
    return key_notation::displayKey(m_keyText, m_manualScaleIndex.has_value(), m_transpose);
}

QString AppState::syncText() const
{
    if (m_synced)
        return QStringLiteral("已同步");
    if (m_busy)
        return QStringLiteral("识别中");
    return QStringLiteral("未连接");
}

QColor AppState::syncColor() const
{
    if (m_synced)
        return QColor::fromRgbF(0.3f, 0.85f, 0.4f, 1.0f);
    if (m_busy)
        return QColor::fromRgbF(0.95f, 0.82f, 0.35f, 1.0f);
    return QColor::fromRgbF(0.43f, 0.43f, 0.47f, 1.0f);
}

void AppState::setCurrent(const std::optional<Song>& song)
{
    assign(m_current, song, &AppState::currentChanged, &AppState::displaySongChanged);
}

void AppState::setSongSource(const QString& v)
{
    assign(m_songSource, v, &AppState::songSourceChanged);
}

void AppState::setKeyText(const QString& v)
{
    assign(m_keyText, v, &AppState::keyTextChanged, &AppState::displayKeyChanged);
}

void AppState::setKeyDetail(const QString& v)
{
    assign(m_keyDetail, v, &AppState::keyDetailChanged);
}

void AppState::setKeyManuallySet(bool v)
{
    assign(m_keyManuallySet, v, &AppState::keyManuallySetChanged);
}

void AppState::setManualScaleIndex(std::optional<int> v)
{
    assign(m_manualScaleIndex, v, &AppState::manualScaleIndexChanged, &AppState::displayKeyChanged);
}

void AppState::setKeyLinkWarning(const std::optional<QString>& v)
{
    assign(m_keyLinkWarning, v, &AppState::keyLinkWarningChanged);
}

void AppState::setBusy(bool v)
{
    assign(m_busy, v, &AppState::busyChanged, &AppState::syncChanged);
}

void AppState::setSynced(bool v)
{
    assign(m_synced, v, &AppState::syncedChanged, &AppState::syncChanged);
}

void AppState::setArtwork(const std::optional<QImage>& v)
{
    assign(m_artwork, v, &AppState::artworkChanged);
}

void AppState::setPreset(const QString& v)
{
    assign(m_preset, v, &AppState::presetChanged);
}

void AppState::setHasCustomPreset(bool v)
{
    assign(m_hasCustomPreset, v, &AppState::hasCustomPresetChanged);
}

void AppState::setTranspose(int v)
{
    assign(m_transpose, v, &AppState::transposeChanged, &AppState::displayKeyChanged);
}

void AppState::setFloatingBarOn(bool v)
{
    assign(m_floatingBarOn, v, &AppState::floatingBarOnChanged);
}

void AppState::setSimulateNotch(bool v)
{
    assign(m_simulateNotch, v, &AppState::simulateNotchChanged);
}

void AppState::setFloatingBarStyle(FloatingBarStyle v)
{
    m_floatingBarStyle = v;
    m_settings.setFloatingBarStyle(rawValue(v));
    emit floatingBarStyleChanged();
}

void AppState::setChannels(const QList<AudioChannel>& v)
{
    assign(m_channels, v, &AppState::channelsChanged);
}

void AppState::setChannelName(const QString& v)
{
    assign(m_channelName, v, &AppState::channelNameChanged);
}

void AppState::setChannelStatus(const QString& v)
{
    assign(m_channelStatus, v, &AppState::channelStatusChanged);
}

void AppState::setRetune(double v)
{
    assign(m_retune, v, &AppState::retuneChanged);
}

void AppState::setTypeIndex(int v)
{
    assign(m_typeIndex, v, &AppState::typeIndexChanged);
}
