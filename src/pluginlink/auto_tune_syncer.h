#pragma once

#include "platform/audio_component_lookup.h"
#include "pluginlink/auto_tune_settings.h"
#include "pluginlink/plugin_ipc.h"

#include <QObject>
#include <QTimer>
#include <QVariantMap>
#include <array>
#include <memory>
#include <optional>

// The application's single link object to the host plug-in: owns the parameter map of
// the state file, writes it on every change and as a 2 s heartbeat, and polls the
// plug-in's alive and parameters-back files every second.
//
// Thread safety: main thread only; both timers run on the main event loop.
class AutoTuneSyncer : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(QString hostVariant READ hostVariantText NOTIFY hostVariantChanged)
    Q_PROPERTY(QVariantMap hostParams READ hostParamsVariant NOTIFY hostParamsChanged)
    Q_PROPERTY(bool isAvailable READ isAvailable CONSTANT)

public:
    static constexpr int kHeartbeatPeriod_ms = 2000;
    static constexpr int kPollPeriod_ms = 1000;

    // The four Auto-Tune units isAvailable considers, in the order they are tried.
    static const std::array<platform::AudioComponentDescription, 4>& supportedUnits();

    explicit AutoTuneSyncer(
        std::shared_ptr<platform::AudioComponentLookup> components = platform::defaultAudioComponentLookup(),
        QObject* parent = nullptr);
    ~AutoTuneSyncer() override;

    bool connected() const { return m_connected; }
    const std::optional<QString>& hostVariant() const { return m_hostVariant; }
    const PluginIPC::ParamMap& hostParams() const { return m_hostParams; }
    std::optional<qint64> hostParamsSeq() const { return m_hostParamsSeq; }

    // The map the state file carries; slider handlers edit it in place and write it.
    PluginIPC::ParamMap& ipc() { return m_ipc; }
    const PluginIPC::ParamMap& ipc() const { return m_ipc; }

    // One entry of the map, then one state write (a tuning control's change).
    void setParameter(const QString& name, double value);
    // Key and scale ("2", "1", "key", "scale"), then one state write.
    void setKeyScale(int semitone, int scaleIndex);
    // The eleven parameters of a record, then one state write; classic mode is not sent.
    void apply(const AutoTuneSettings& settings);
    // Counts whatever the plug-in has written so far as consumed.
    void discardPendingHostParams();

    // The application's own state file is younger than 8 s.
    bool ipcFresh() const;
    // Some supported Auto-Tune unit is installed.
    bool isAvailable() const;

    // One poll tick (also driven by the timer).
    void poll();

    // The installed component of highest version for a description; the first found
    // wins on equal versions.
    std::optional<platform::AudioComponent>
    newestComponent(const platform::AudioComponentDescription& d) const;

signals:
    void connectedChanged();
    void hostVariantChanged();
    void hostParamsChanged();

private:
    void startHeartbeat();
    void pollHostParams();
    void pollPluginHeartbeat();
    void setConnected(bool value);
    void setHostVariant(const std::optional<QString>& value);
    void publishHostParams(const PluginIPC::ParamMap& params);
    void writeState() { PluginIPC::write(m_ipc, false); }
    QString hostVariantText() const { return m_hostVariant.value_or(QString()); }
    QVariantMap hostParamsVariant() const;

    std::shared_ptr<platform::AudioComponentLookup> m_components;
    bool m_connected = false;
    std::optional<QString> m_hostVariant;
    PluginIPC::ParamMap m_hostParams;
    std::optional<qint64> m_hostParamsSeq;
    QTimer* m_hostParamsTimer = nullptr;
    PluginIPC::ParamMap m_ipc;
    QTimer* m_heartbeatTimer = nullptr;
};
