#pragma once

#include "core/audio_channel.h"
#include "core/floating_bar_style.h"
#include "core/song.h"

#include <QColor>
#include <QFutureWatcher>
#include <QImage>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTimer>
#include <QVariant>
#include <memory>
#include <optional>

class SettingsStore;
class NowPlayingReader;
struct NowPlayingReading;

// The one shared, observable application state. Every stored field notifies on each
// assignment (an equal value notifies too); the derived properties are recomputed on
// every read and notify whenever a field they depend on is assigned.
//
// Thread safety: main thread only. The artwork timer reads the now-playing source on
// the global thread pool and applies the result back on the main thread.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariant current READ currentVariant NOTIFY currentChanged)
    Q_PROPERTY(QString songSource READ songSource WRITE setSongSource NOTIFY songSourceChanged)
    Q_PROPERTY(QString keyText READ keyText WRITE setKeyText NOTIFY keyTextChanged)
    Q_PROPERTY(QString keyDetail READ keyDetail WRITE setKeyDetail NOTIFY keyDetailChanged)
    Q_PROPERTY(bool keyManuallySet READ keyManuallySet WRITE setKeyManuallySet NOTIFY keyManuallySetChanged)
    Q_PROPERTY(QVariant manualScaleIndex READ manualScaleIndexVariant NOTIFY manualScaleIndexChanged)
    Q_PROPERTY(QVariant keyLinkWarning READ keyLinkWarningVariant NOTIFY keyLinkWarningChanged)
    Q_PROPERTY(bool busy READ busy WRITE setBusy NOTIFY busyChanged)
    Q_PROPERTY(bool synced READ synced WRITE setSynced NOTIFY syncedChanged)
    Q_PROPERTY(QImage artwork READ artworkImage NOTIFY artworkChanged)
    Q_PROPERTY(QString preset READ preset WRITE setPreset NOTIFY presetChanged)
    Q_PROPERTY(
        bool hasCustomPreset READ hasCustomPreset WRITE setHasCustomPreset NOTIFY hasCustomPresetChanged)
    Q_PROPERTY(int transpose READ transpose WRITE setTranspose NOTIFY transposeChanged)
    Q_PROPERTY(bool floatingBarOn READ floatingBarOn WRITE setFloatingBarOn NOTIFY floatingBarOnChanged)
    Q_PROPERTY(bool simulateNotch READ simulateNotch WRITE setSimulateNotch NOTIFY simulateNotchChanged)
    // "capsule" or "notch"; other texts are ignored.
    Q_PROPERTY(QString floatingBarStyle READ floatingBarStyleRaw WRITE setFloatingBarStyleRaw NOTIFY
                   floatingBarStyleChanged)
    // Each input as {"name", "uid"}, in the sound server's order.
    Q_PROPERTY(QVariantList channels READ channelsVariant NOTIFY channelsChanged)
    Q_PROPERTY(QString channelName READ channelName WRITE setChannelName NOTIFY channelNameChanged)
    Q_PROPERTY(QString channelStatus READ channelStatus WRITE setChannelStatus NOTIFY channelStatusChanged)
    Q_PROPERTY(double retune READ retune WRITE setRetune NOTIFY retuneChanged)
    Q_PROPERTY(int typeIndex READ typeIndex WRITE setTypeIndex NOTIFY typeIndexChanged)
    Q_PROPERTY(QString displaySong READ displaySong NOTIFY displaySongChanged)
    Q_PROPERTY(QString displayKey READ displayKey NOTIFY displayKeyChanged)
    Q_PROPERTY(QString syncText READ syncText NOTIFY syncChanged)
    Q_PROPERTY(QColor syncColor READ syncColor NOTIFY syncChanged)

public:
    static constexpr int kArtworkPeriod_ms = 2000;

    // Constructed in the documented order; the artwork timer starts at once. `settings`
    // must outlive the state.
    explicit AppState(SettingsStore& settings, QObject* parent = nullptr);
    ~AppState() override;

    // A view of the owner of the run's state; calling it while no owner exists is a
    // programming error and stops the process.
    static AppState& shared();
    // Makes shared() answer `state` (not owned; nullptr removes it); returns the previous one.
    static AppState* installShared(AppState* state);

    // The four metadata entries the plug-in state file carries: "song", "key", "detail"
    // and "source" (the displayed song, key, key detail and song source).
    QMap<QString, QString> pluginMeta() const;

    // Where the artwork timer reads the now-playing song and cover; none reads nothing. Waits
    // for a read of the previous reader still in flight, so that the caller may destroy
    // what that reader uses (a short wait: readers answer from their cache).
    void setNowPlayingReader(std::shared_ptr<NowPlayingReader> reader);

    static std::optional<int> noteSemitone(const QString& name);
    static QString normalizeKeyNotation(const QString& text);

    const std::optional<Song>& current() const { return m_current; }
    void setCurrent(const std::optional<Song>& song);
    QString songSource() const { return m_songSource; }
    void setSongSource(const QString& v);
    QString keyText() const { return m_keyText; }
    void setKeyText(const QString& v);
    QString keyDetail() const { return m_keyDetail; }
    void setKeyDetail(const QString& v);
    bool keyManuallySet() const { return m_keyManuallySet; }
    void setKeyManuallySet(bool v);
    std::optional<int> manualScaleIndex() const { return m_manualScaleIndex; }
    void setManualScaleIndex(std::optional<int> v);
    std::optional<QString> keyLinkWarning() const { return m_keyLinkWarning; }
    void setKeyLinkWarning(const std::optional<QString>& v);
    bool busy() const { return m_busy; }
    void setBusy(bool v);
    bool synced() const { return m_synced; }
    void setSynced(bool v);
    const std::optional<QImage>& artwork() const { return m_artwork; }
    void setArtwork(const std::optional<QImage>& v);
    QString preset() const { return m_preset; }
    void setPreset(const QString& v);
    bool hasCustomPreset() const { return m_hasCustomPreset; }
    void setHasCustomPreset(bool v);
    int transpose() const { return m_transpose; }
    void setTranspose(int v);
    bool floatingBarOn() const { return m_floatingBarOn; }
    void setFloatingBarOn(bool v);
    bool simulateNotch() const { return m_simulateNotch; }
    void setSimulateNotch(bool v);
    FloatingBarStyle floatingBarStyle() const { return m_floatingBarStyle; }
    // Persists the raw value under "floatingBarStyle" after every assignment.
    void setFloatingBarStyle(FloatingBarStyle v);
    // The raw text of a style; anything else changes nothing.
    void setFloatingBarStyleRaw(const QString& raw);
    const QList<AudioChannel>& channels() const { return m_channels; }
    void setChannels(const QList<AudioChannel>& v);
    QString channelName() const { return m_channelName; }
    void setChannelName(const QString& v);
    QString channelStatus() const { return m_channelStatus; }
    void setChannelStatus(const QString& v);
    double retune() const { return m_retune; }
    void setRetune(double v);
    int typeIndex() const { return m_typeIndex; }
    void setTypeIndex(int v);

    QString displaySong() const;
    QString displayKey() const;
    QString syncText() const;
    QColor syncColor() const;

    // One artwork tick's decision, applied on the main thread (exposed for tests).
    void applyNowPlaying(const NowPlayingReading& reading);

signals:
    void currentChanged();
    void songSourceChanged();
    void keyTextChanged();
    void keyDetailChanged();
    void keyManuallySetChanged();
    void manualScaleIndexChanged();
    void keyLinkWarningChanged();
    void busyChanged();
    void syncedChanged();
    void artworkChanged();
    void presetChanged();
    void hasCustomPresetChanged();
    void transposeChanged();
    void floatingBarOnChanged();
    void simulateNotchChanged();
    void floatingBarStyleChanged();
    void channelsChanged();
    void channelNameChanged();
    void channelStatusChanged();
    void retuneChanged();
    void typeIndexChanged();
    void displaySongChanged();
    void displayKeyChanged();
    void syncChanged();

private:
    QVariant currentVariant() const;
    QVariant manualScaleIndexVariant() const;
    QVariant keyLinkWarningVariant() const;
    QVariantList channelsVariant() const;
    QImage artworkImage() const { return m_artwork.value_or(QImage()); }
    QString floatingBarStyleRaw() const { return rawValue(m_floatingBarStyle); }
    void artworkTick();
    // Every assignment notifies, equal values included.
    template <typename T, typename V, typename... Notifiers>
    void assign(T& field, V&& value, Notifiers... notifiers)
    {
        field = std::forward<V>(value);
        (emit(this->*notifiers)(), ...);
    }

    SettingsStore& m_settings;

    std::optional<Song> m_current;
    QString m_songSource;
    QString m_keyText = QStringLiteral("等待识别歌曲…");
    QString m_keyDetail;
    bool m_keyManuallySet = false;
    std::optional<int> m_manualScaleIndex;
    std::optional<QString> m_keyLinkWarning;
    bool m_busy = false;
    bool m_synced = false;
    std::optional<QImage> m_artwork;
    QString m_preset = QStringLiteral("default");
    bool m_hasCustomPreset = false;
    int m_transpose = 0;
    bool m_floatingBarOn = true;
    bool m_simulateNotch = false;
    FloatingBarStyle m_floatingBarStyle = FloatingBarStyle::notch;
    QList<AudioChannel> m_channels;
    QString m_channelName;
    QString m_channelStatus = QStringLiteral("未设置（请手动选择伴奏通道）");
    double m_retune = 0.686;
    int m_typeIndex = 1;

    QTimer m_artworkTimer;
    std::shared_ptr<NowPlayingReader> m_nowPlaying;
    QFutureWatcher<NowPlayingReading>* m_artworkRead = nullptr;
};
