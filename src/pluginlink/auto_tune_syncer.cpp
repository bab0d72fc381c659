#include "pluginlink/auto_tune_syncer.h"

#include "core/semitone.h"
#include "pluginlink/plugin_files.h"

namespace {

// Values travel in single precision, as the plug-in's parameters are floats.
double single(double v)
{
    return static_cast<double>(static_cast<float>(v));
}

} // namespace

const std::array<platform::AudioComponentDescription, 4>& AutoTuneSyncer::supportedUnits()
{
    static const std::array<platform::AudioComponentDescription, 4> units = {{
        {QStringLiteral("Auto-Tune Pro"), QStringLiteral("aumf"), QStringLiteral("AT81"),
         QStringLiteral("VST ")},
        {QStringLiteral("AutoTune Advanced"), QStringLiteral("aumf"), QStringLiteral("Advn"),
         QStringLiteral("Antr")},
        {QStringLiteral("AutoTune 2026"), QStringLiteral("aufx"), QStringLiteral("Core"),
         QStringLiteral("Antr")},
        {QStringLiteral("Auto-Tune Artist"), QStringLiteral("aumf"), QStringLiteral("ATxL"),
         QStringLiteral("VST ")},
    }};
    return units;
}

AutoTuneSyncer::AutoTuneSyncer(std::shared_ptr<platform::AudioComponentLookup> components, QObject* parent)
    : QObject(parent), m_components(std::move(components))
{
    startHeartbeat();
    m_hostParamsTimer = new QTimer(this);
    m_hostParamsTimer->setInterval(kPollPeriod_ms);
    connect(m_hostParamsTimer, &QTimer::timeout, this, &AutoTuneSyncer::poll);
    m_hostParamsTimer->start();
}

AutoTuneSyncer::~AutoTuneSyncer()
{
    m_hostParamsTimer->stop();
    m_heartbeatTimer->stop();
}

void AutoTuneSyncer::startHeartbeat()
{
    delete m_heartbeatTimer;
    m_heartbeatTimer = new QTimer(this);
    m_heartbeatTimer->setInterval(kHeartbeatPeriod_ms);
    connect(m_heartbeatTimer, &QTimer::timeout, this, [this] { PluginIPC::write(m_ipc, true); });
    m_heartbeatTimer->start();
}

void AutoTuneSyncer::setParameter(const QString& name, double value)
{
    m_ipc.insert(name, value);
    writeState();
}

void AutoTuneSyncer::setKeyScale(int semitone, int scaleIndex)
{
    const int k = reduceSemitone(semitone);
    m_ipc.insert(QStringLiteral("2"), static_cast<double>(static_cast<float>(k) / 11.0f));
    m_ipc.insert(QStringLiteral("1"), static_cast<double>(static_cast<float>(scaleIndex) / 14.0f));
    m_ipc.insert(QStringLiteral("key"), k);
    m_ipc.insert(QStringLiteral("scale"), scaleIndex);
    // One write: the plug-in never sees the new key with the old scale.
    writeState();
}

void AutoTuneSyncer::apply(const AutoTuneSettings& s)
{
    const std::pair<const char*, float> entries[] = {
        {"retune", s.retuneSpeed},
        {"humanize", s.humanize},
        {"flexTune", s.flexTune},
        {"naturalVibrato", s.naturalVibrato},
        {"47", s.vibratoAmplitude},
        {"tracking", s.tracking},
        {"formant", s.formantCorrection},
        {"throat", s.throatLength},
        {"wetDry", s.wetDry},
        {"correctionMode", s.correctionMode},
        {"inputType", s.inputType},
    };
    for (const auto& [name, value] : entries)
        m_ipc.insert(QLatin1String(name), single(value));
    writeState();
}

void AutoTuneSyncer::poll()
{
    pollHostParams();
    pollPluginHeartbeat();
}

void AutoTuneSyncer::pollHostParams()
{
    const auto text = plugin_files::readUtf8File(PluginIPC::path(PluginIPC::kParamsBackFile));
    if (!text)
        return;
    const plugin_files::ParamsBack file = plugin_files::parseParamsBack(*text);
    if (!file.lastSeq || file.params.isEmpty())
        return;
    if (m_hostParamsSeq && *m_hostParamsSeq == *file.lastSeq)
        return;
    m_hostParamsSeq = file.lastSeq;
    publishHostParams(file.params);
}

void AutoTuneSyncer::pollPluginHeartbeat()
{
    const QString alivePath = PluginIPC::path(PluginIPC::kAliveFile);
    const auto age = plugin_files::fileAge(alivePath);
    if (!age) {
        setConnected(false);
        setHostVariant(std::nullopt);
        return;
    }
    const bool fresh = plugin_files::isFresh(*age);
    setConnected(fresh);
    if (!fresh) {
        setHostVariant(std::nullopt);
        return;
    }
    const auto text = plugin_files::readUtf8File(alivePath);
    if (!text)
        return;
    const QStringList variants = plugin_files::variantValues(*text);
    if (variants.isEmpty())
        return;
    const QString& last = variants.last();
    setHostVariant(last == QLatin1String("none") ? std::nullopt : std::optional<QString>(last));
}

void AutoTuneSyncer::discardPendingHostParams()
{
    publishHostParams({});
    const auto text = plugin_files::readUtf8File(PluginIPC::path(PluginIPC::kParamsBackFile));
    m_hostParamsSeq = text ? plugin_files::parseParamsBack(*text).firstSeq : std::nullopt;
}

bool AutoTuneSyncer::ipcFresh() const
{
    const auto age = plugin_files::fileAge(PluginIPC::file());
    return age && plugin_files::isFresh(*age);
}

bool AutoTuneSyncer::isAvailable() const
{
    for (const auto& unit : supportedUnits()) {
        if (newestComponent(unit))
            return true;
    }
    return false;
}

std::optional<platform::AudioComponent>
AutoTuneSyncer::newestComponent(const platform::AudioComponentDescription& d) const
{
    if (!m_components)
        return std::nullopt;
    std::optional<platform::AudioComponent> best;
    for (const platform::AudioComponent& c : m_components->find(d)) {
        if (!best || c.version > best->version)
            best = c;
    }
    return best;
}

void AutoTuneSyncer::setConnected(bool value)
{
    if (m_connected == value)
        return;
    m_connected = value;
    emit connectedChanged();
}

void AutoTuneSyncer::setHostVariant(const std::optional<QString>& value)
{
    if (m_hostVariant == value)
        return;
    m_hostVariant = value;
    emit hostVariantChanged();
}

void AutoTuneSyncer::publishHostParams(const PluginIPC::ParamMap& params)
{
    m_hostParams = params;
    emit hostParamsChanged();
}

QVariantMap AutoTuneSyncer::hostParamsVariant() const
{
    QVariantMap out;
    for (auto it = m_hostParams.cbegin(); it != m_hostParams.cend(); ++it)
        out.insert(it.key(), it.value());
    return out;
}
