// PulseAudio realisation of the audio inputs: sources are the inputs (a sink's monitor is the
// loop-back input), the source index is the device id, the description the name, the source
// name the persistent uid and the sample format's rate the nominal rate.
#include "platform/pulse_audio_client.h"

#include "platform/pulse_context.h"

using pulse_streams::LoopLock;
using pulse_streams::SourceRecord;

PulseAudioClient::PulseAudioClient() : PulseAudioClient(Options{}) {}

PulseAudioClient::PulseAudioClient(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

PulseAudioClient::~PulseAudioClient() = default;

std::vector<AudioSourceInfo> PulseAudioClient::listSources() const
{
    return m_impl->sources();
}

std::vector<AudioSinkInfo> PulseAudioClient::listSinks() const
{
    return m_impl->sinks();
}

std::vector<AudioStreamInfo> PulseAudioClient::listPlaybackStreams() const
{
    return m_impl->streams();
}

namespace {

// Sends a request from a caller's thread (never the loop's own: it would wait for itself).
template <typename Issue>
bool requestFrom(PulseAudioClient::Impl& impl, PulseAudioClient::DoneCallback done, Issue issue)
{
    pa_threaded_mainloop* loop = impl.loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return false;
    LoopLock lock(loop);
    return impl.request(std::move(done), issue);
}

} // namespace

bool PulseAudioClient::loadModule(const QByteArray& name, const QByteArray& arguments, DoneCallback done)
{
    return requestFrom(*m_impl, std::move(done), [&](pa_context* context, void* token) {
        return pa_context_load_module(context, name.constData(), arguments.constData(), Impl::onIndexAnswer,
                                      token);
    });
}

bool PulseAudioClient::unloadModule(uint32_t module, DoneCallback done)
{
    return requestFrom(*m_impl, std::move(done), [&](pa_context* context, void* token) {
        return pa_context_unload_module(context, module, Impl::onSuccessAnswer, token);
    });
}

bool PulseAudioClient::moveStream(uint32_t stream, const QByteArray& sinkName, DoneCallback done)
{
    return requestFrom(*m_impl, std::move(done), [&](pa_context* context, void* token) {
        return pa_context_move_sink_input_by_name(context, stream, sinkName.constData(),
                                                  Impl::onSuccessAnswer, token);
    });
}

std::optional<QString> PulseAudioClient::defaultSinkName() const
{
    return m_impl->defaultSink();
}

bool PulseAudioClient::isConnected() const
{
    return m_impl->isConnected();
}

int PulseAudioClient::connectionCount() const
{
    return m_impl->connectionCount();
}

void PulseAudioClient::setChangeCallback(ChangeCallback onChange)
{
    m_impl->setChangeCallback(std::move(onChange));
}

namespace {

std::unique_ptr<AudioRecording>
startRecordingOn(PulseAudioClient::Impl& impl, uint32_t deviceID,
                 const std::optional<PulseAudioClient::RecordOptions>& options,
                 AudioInputService::InputCallback onInput, AudioInputService::EndedCallback onEnded)
{
    pa_threaded_mainloop* loop = impl.loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return nullptr;
    const std::optional<SourceRecord> source = impl.source(deviceID);
    if (!source)
        return nullptr;
    LoopLock lock(loop);
    pa_context* context = impl.readyContext();
    if (!context)
        return nullptr;
    return pulse_streams::startRecordingLocked(loop, context, *source, options, std::move(onInput),
                                               std::move(onEnded));
}

} // namespace

std::unique_ptr<AudioRecording> PulseAudioClient::startRecording(uint32_t deviceID, InputCallback onInput,
                                                                 EndedCallback onEnded)
{
    return startRecordingOn(*m_impl, deviceID, std::nullopt, std::move(onInput), std::move(onEnded));
}

std::unique_ptr<AudioRecording> PulseAudioClient::startRecording(uint32_t deviceID,
                                                                 const RecordOptions& options,
                                                                 InputCallback onInput, EndedCallback onEnded)
{
    return startRecordingOn(*m_impl, deviceID, options, std::move(onInput), std::move(onEnded));
}

PulseAudioClient::ListenerId PulseAudioClient::addChangeListener(ChangeCallback onChange)
{
    return m_impl->addListener(std::move(onChange));
}

void PulseAudioClient::removeChangeListener(ListenerId id)
{
    m_impl->removeListener(id);
}

std::unique_ptr<AudioPlayback> PulseAudioClient::startPlayback(const PlaybackOptions& options,
                                                               RenderCallback render, EndedCallback onEnded)
{
    pa_threaded_mainloop* loop = m_impl->loop();
    if (!loop || pa_threaded_mainloop_in_thread(loop))
        return nullptr;
    LoopLock lock(loop);
    pa_context* context = m_impl->readyContext();
    if (!context)
        return nullptr;
    return pulse_streams::startPlaybackLocked(loop, context, options, std::move(render), std::move(onEnded));
}
