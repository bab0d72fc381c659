// The lists the client keeps current: loaded at once (default sink, sources, sinks, playback
// streams) on connection and on every change the subscription reports, published together.
#include "platform/pulse_context.h"

#include <algorithm>

namespace pulse_lists {

namespace {

std::optional<QString> textOrAbsent(const char* text)
{
    if (!text || !*text)
        return std::nullopt;
    return QString::fromUtf8(text);
}

std::optional<qint64> processIdOf(const pa_proplist* properties)
{
    const char* text = properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qint64 pid = QByteArray(text).toLongLong(&ok);
    if (!ok || pid <= 0)
        return std::nullopt;
    return pid;
}

QString propertyText(const pa_proplist* properties, const char* key)
{
    const char* text = properties ? pa_proplist_gets(properties, key) : nullptr;
    return text ? QString::fromUtf8(text) : QString();
}

} // namespace

pulse_streams::SourceRecord sourceOf(const pa_source_info& info)
{
    pulse_streams::SourceRecord source;
    source.info.deviceID = info.index;
    source.info.name = textOrAbsent(info.description);
    source.info.uid = textOrAbsent(info.name);
    source.info.channelCount = info.sample_spec.channels;
    source.info.monitorOfSink = textOrAbsent(info.monitor_of_sink_name);
    if (info.sample_spec.rate > 0)
        source.info.nominalRateHz = static_cast<double>(info.sample_spec.rate);
    source.name = QByteArray(info.name ? info.name : "");
    source.sampleFormat = info.sample_spec;
    source.map = info.channel_map;
    return source;
}

AudioSinkInfo sinkOf(const pa_sink_info& info)
{
    AudioSinkInfo sink;
    sink.index = info.index;
    sink.name = QString::fromUtf8(info.name ? info.name : "");
    sink.description = QString::fromUtf8(info.description ? info.description : "");
    sink.channelCount = info.sample_spec.channels;
    if (info.sample_spec.rate > 0)
        sink.nominalRateHz = static_cast<double>(info.sample_spec.rate);
    if (info.owner_module != PA_INVALID_INDEX)
        sink.ownerModule = info.owner_module;
    return sink;
}

AudioStreamInfo streamOf(const pa_sink_input_info& info)
{
    AudioStreamInfo stream;
    stream.index = info.index;
    stream.sinkIndex = info.sink;
    stream.processId = processIdOf(info.proplist);
    stream.processBinary = propertyText(info.proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
    stream.applicationName = propertyText(info.proplist, PA_PROP_APPLICATION_NAME);
    return stream;
}

void append(Lists& lists, const pa_source_info& info)
{
    lists.sources.push_back(sourceOf(info));
}

void append(Lists& lists, const pa_sink_info& info)
{
    lists.sinks.push_back(sinkOf(info));
}

void append(Lists& lists, const pa_sink_input_info& info)
{
    lists.streams.push_back(streamOf(info));
}

} // namespace pulse_lists

std::optional<PulseAudioClient::Impl::SourceRecord> PulseAudioClient::Impl::source(uint32_t deviceID) const
{
    std::lock_guard guard(m_listLock);
    const auto it = std::find_if(m_lists.sources.begin(), m_lists.sources.end(),
                                 [&](const SourceRecord& s) { return s.info.deviceID == deviceID; });
    if (it == m_lists.sources.end())
        return std::nullopt;
    return *it;
}

std::vector<AudioSourceInfo> PulseAudioClient::Impl::sources() const
{
    std::lock_guard guard(m_listLock);
    std::vector<AudioSourceInfo> out;
    out.reserve(m_lists.sources.size());
    for (const SourceRecord& s : m_lists.sources)
        out.push_back(s.info);
    return out;
}

std::vector<AudioSinkInfo> PulseAudioClient::Impl::sinks() const
{
    std::lock_guard guard(m_listLock);
    return m_lists.sinks;
}

std::vector<AudioStreamInfo> PulseAudioClient::Impl::streams() const
{
    std::lock_guard guard(m_listLock);
    return m_lists.streams;
}

std::optional<QString> PulseAudioClient::Impl::defaultSink() const
{
    std::lock_guard guard(m_listLock);
    return m_lists.defaultSink;
}

bool PulseAudioClient::Impl::isConnected() const
{
    std::lock_guard guard(m_listLock);
    return m_connected;
}

void PulseAudioClient::Impl::setChangeCallback(ChangeCallback onChange)
{
    std::lock_guard guard(m_callbackLock);
    m_onChange = std::move(onChange);
}

PulseAudioClient::ListenerId PulseAudioClient::Impl::addListener(ChangeCallback onChange)
{
    std::lock_guard guard(m_callbackLock);
    const ListenerId id = ++m_lastListener;
    m_listeners.emplace_back(id, std::move(onChange));
    return id;
}

void PulseAudioClient::Impl::removeListener(ListenerId id)
{
    std::lock_guard guard(m_callbackLock);
    std::erase_if(m_listeners, [id](const auto& entry) { return entry.first == id; });
}

void PulseAudioClient::Impl::onSubscription(pa_context*, pa_subscription_event_type_t, uint32_t,
                                            void* userdata)
{
    // Any source, sink or server change: load the lists again (they are short).
    static_cast<Impl*>(userdata)->refresh();
}

// A change while loading loads again afterwards.
void PulseAudioClient::Impl::refresh()
{
    if (!readyContext())
        return;
    if (m_refreshing) {
        m_refreshAgain = true;
        return;
    }
    m_refreshing = true;
    m_pending = Lists{};
    m_pendingParts = 4;
    const auto issue = [this](pa_operation* operation) {
        if (operation)
            pa_operation_unref(operation);
        else
            partDone();
    };
    auto* token = new RefreshToken{this, m_generation};
    m_refreshToken.reset(token);
    issue(pa_context_get_server_info(m_context, onServerInfo, token));
    issue(
        pa_context_get_source_info_list(m_context, onListEntry<pa_source_info, pulse_lists::append>, token));
    issue(pa_context_get_sink_info_list(m_context, onListEntry<pa_sink_info, pulse_lists::append>, token));
    issue(pa_context_get_sink_input_info_list(m_context, onListEntry<pa_sink_input_info, pulse_lists::append>,
                                              token));
}

void PulseAudioClient::Impl::onServerInfo(pa_context*, const pa_server_info* info, void* userdata)
{
    Impl* self = static_cast<RefreshToken*>(userdata)->current();
    if (!self)
        return;
    if (info)
        self->m_pending.defaultSink = pulse_lists::textOrAbsent(info->default_sink_name);
    self->partDone();
}

// One entry of a list answer, or its end.
template <typename Info, void (*add)(pulse_lists::Lists&, const Info&)>
void PulseAudioClient::Impl::onListEntry(pa_context*, const Info* info, int eol, void* userdata)
{
    Impl* self = static_cast<RefreshToken*>(userdata)->current();
    if (!self)
        return;
    if (eol != 0 || !info) {
        self->partDone();
        return;
    }
    add(self->m_pending, *info);
}

void PulseAudioClient::Impl::partDone()
{
    if (--m_pendingParts > 0)
        return;
    m_refreshing = false;
    publish(std::move(m_pending), true);
    if (m_refreshAgain) {
        m_refreshAgain = false;
        refresh();
    }
}

void PulseAudioClient::Impl::publish(Lists lists, bool connected)
{
    {
        std::lock_guard guard(m_listLock);
        m_lists = std::move(lists);
        m_connected = connected;
    }
    std::lock_guard guard(m_callbackLock);
    if (m_onChange)
        m_onChange();
    for (const auto& [id, listener] : m_listeners)
        listener();
}
