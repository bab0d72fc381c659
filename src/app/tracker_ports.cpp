#include "app/tracker_ports.h"

#include "keydetect/audio_channel_detector.h"
#include "players/player_activity_monitor.h"
#include "players/player_detector.h"
#include "players/player_source.h"
#include "transpose/accompaniment_processor.h"

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
    const auto active = m_monitor.active();
    return active ? player_source::rawValue(*active) : QString();
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
