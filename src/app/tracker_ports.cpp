#include "app/tracker_ports.h"

#include "keydetect/audio_channel_detector.h"
#include "platform/pulse_audio_client.h"
#include "players/player_activity_monitor.h"
#include "players/player_detector.h"
#include "players/player_source.h"
#include "transpose/accompaniment_processor.h"

#include <QObject>

QCoro::Task<bool> MonitorPlayerPort::poll(std::stop_token stop)
{
    return m_monitor.pollAsync(std::move(stop));
}

std::optional<Song> MonitorPlayerPort::activeSong() const
{
    return m_monitor.activeSong();
}

QString MonitorPlayerPort::label() const
{
    return m_monitor.sourceLabel();
}

QString MonitorPlayerPort::localReadDiag() const
{
    return m_monitor.localReadDiag();
}

QCoro::Task<std::optional<Song>> NoWindowRecognition::ocrCurrentSong()
{
    co_return std::nullopt;
}

bool NoWindowRecognition::screenCaptureAllowed() const
{
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

QCoro::Task<std::optional<Song>> DetectorWindowRecognition::ocrCurrentSong()
{
    return m_detector.ocrCurrentSong();
}

QString DetectorWindowRecognition::lastPlayerLabel() const
{
    return m_detector.lastPlayerLabel().value_or(QString());
}

bool DetectorWindowRecognition::screenCaptureAllowed() const
{
    return m_detector.screenCaptureAllowed();
}

void ProcessorTransposer::start()
{
    m_processor.start();
}

void ProcessorTransposer::stop()
{
    m_processor.stop();
}

PulseAudioPort::PulseAudioPort(PulseAudioClient& audio)
    : m_audio(audio), m_mainThread(std::make_unique<QObject>())
{}

PulseAudioPort::~PulseAudioPort()
{
    // No call comes after this returns; queued ones die with the receiver below.
    if (m_listener)
        m_audio.removeChangeListener(*m_listener);
    m_mainThread.reset();
}

void PulseAudioPort::setInputsChanged(std::function<void()> onChange)
{
    m_onInputsChanged = std::move(onChange);
    if (m_listener)
        return;
    m_listener = m_audio.addChangeListener([this, receiver = m_mainThread.get(), pending = m_pending] {
        // The client's thread: hand over to the main thread, once per burst.
        if (pending->exchange(true))
            return;
        QMetaObject::invokeMethod(
            receiver,
            [this, pending] {
                pending->store(false);
                if (m_onInputsChanged)
                    m_onInputsChanged();
            },
            Qt::QueuedConnection);
    });
}

std::vector<AudioChannel> PulseAudioPort::listInputs() const
{
    return AudioChannelDetector::listInputs(m_audio);
}

std::optional<AudioChannel> PulseAudioPort::selectedChannel() const
{
    return AudioChannelDetector::selectedChannel(m_audio);
}

QCoro::Task<std::optional<std::vector<float>>>
PulseAudioPort::capture(uint32_t deviceID, std::chrono::duration<double> duration, std::stop_token stop)
{
    return AudioChannelDetector::capture(m_audio, deviceID, duration, std::move(stop));
}
