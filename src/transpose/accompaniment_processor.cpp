#include "transpose/accompaniment_processor.h"

#include "core/number_format.h"
#include "keydetect/audio_channel_detector.h"
#include "platform/pulse_audio_client.h"
#include "pluginlink/plugin_ipc.h"
#include "transpose/loop_capture.h"
#include "transpose/transpose_renderer.h"

#include <cmath>

const QString AccompanimentProcessor::kFeedbackStatus =
    QStringLiteral("回路通道即默认输出的监听，已停止以防回授");
const QString AccompanimentProcessor::kLostStatus = QStringLiteral("伴奏通道已断开，等待恢复");
const QString AccompanimentProcessor::kOutputLostStatus = QStringLiteral("输出已断开，等待恢复");

namespace {

constexpr double kFramesPerMs = TransposeRenderer::kSampleRate_Hz / 1000.0;
constexpr int kPollInterval_ms = 200;

} // namespace

AccompanimentProcessor::AccompanimentProcessor(PulseAudioClient& audio, QObject* parent)
    : QObject(parent), m_audio(audio)
{
    m_poll.setInterval(kPollInterval_ms);
    connect(&m_poll, &QTimer::timeout, this, &AccompanimentProcessor::poll);
    // Runs on the client's thread: only hand the news to the main thread.
    m_listener = m_audio.addChangeListener([this] {
        QMetaObject::invokeMethod(this, &AccompanimentProcessor::onAudioChanged, Qt::QueuedConnection);
    });
}

AccompanimentProcessor::~AccompanimentProcessor()
{
    m_audio.removeChangeListener(m_listener);
    stop();
}

bool AccompanimentProcessor::fail(const QString& logLine, const QString& status)
{
    PluginIPC::chainLog(QStringLiteral("伴奏移调：") + logLine);
    setStatusText(status);
    teardown();
    return false;
}

bool AccompanimentProcessor::start()
{
    teardown();
    m_restartWhenBack = false;

    const std::optional<AudioChannel> channel = AudioChannelDetector::selectedChannel(m_audio);
    if (!channel)
        return fail(QStringLiteral("未选择伴奏通道"), QStringLiteral("请先选择伴奏回路通道"));
    const std::optional<QString> defaultSink = m_audio.defaultSinkName();
    if (!defaultSink)
        return fail(QStringLiteral("找不到音频输出组件"), QStringLiteral("找不到音频输出组件"));
    QString sink;
    if (monitorsDefaultSink(channel->deviceID, &sink)) {
        // Once the routing changes, the chain comes back by itself.
        m_restartWhenBack = true;
        return fail(
            QStringLiteral("回授：回路通道（%1）监听的正是默认输出 %2，不启动").arg(channel->name, sink),
            kFeedbackStatus);
    }

    const quint64 generation = ++m_generation;
    m_channel = channel;
    m_capture = std::make_unique<LoopCapture>(channel->deviceID, LoopCapture::kCapacityFrames);
    const auto lost = [this, generation](bool output) {
        return [this, generation, output] {
            QMetaObject::invokeMethod(
                this, [this, generation, output] { onStreamLost(generation, output); }, Qt::QueuedConnection);
        };
    };
    if (!m_capture->start(m_audio, lost(false), kRenderPeriodFrames)) {
        return fail(QStringLiteral("采集启动失败（%1）").arg(channel->name),
                    QStringLiteral("采集启动失败（%1）").arg(channel->name));
    }

    try {
        TransposeRenderer::Config config;
        config.renderPeriodFrames = kRenderPeriodFrames;
        config.marginFrames = kRenderPeriodFrames;
        m_renderer = std::make_unique<TransposeRenderer>(*m_capture, config);
    } catch (const std::exception&) {
        return fail(QStringLiteral("音频单元创建失败"), QStringLiteral("音频单元创建失败"));
    }
    // Built on the renderer's own thread; the output plays silence until it is ready.
    m_renderer->setSemitones(m_semitones);

    PulseAudioClient::PlaybackOptions options;
    options.targetFrames = kPlaybackTargetFrames;
    options.requestFrames = kRenderPeriodFrames;
    options.maxTargetFrames = kMaxPlaybackTargetFrames;
    options.streamName = "Tonivox accompaniment";
    TransposeRenderer* renderer = m_renderer.get();
    m_playback = m_audio.startPlayback(
        options, [renderer](float* interleaved, uint32_t frames) { renderer->render(interleaved, frames); },
        lost(true));
    if (!m_playback)
        return fail(QStringLiteral("输出启动失败"), QStringLiteral("输出启动失败"));

    m_layoutLogged = false;
    m_poll.start();
    setRunning(true);
    updateLatency();
    // The running line gives the latency, whose stretcher term is measured on the renderer's
    // thread: it is written once that is known (a poll later), or when the run ends first.
    m_runningLinePending = true;
    writeRunningLineWhenKnown();
    setStatusText(runningStatus());
    return true;
}

void AccompanimentProcessor::writeRunningLineWhenKnown(bool now)
{
    if (!m_runningLinePending || !m_channel || (!now && !m_startDelayCache.contains(m_semitones)))
        return;
    m_runningLinePending = false;
    PluginIPC::chainLog(QStringLiteral("伴奏移调：运行中 in=%1 out=系统默认输出 shift=%2 latency=%3ms")
                            .arg(m_channel->name, QString::asprintf("%+d", m_semitones),
                                 QString::fromLatin1(number_format::fixed(m_latencyMs, 0))));
}

void AccompanimentProcessor::stop()
{
    m_restartWhenBack = false;
    teardown();
}

void AccompanimentProcessor::teardown()
{
    writeRunningLineWhenKnown(true);
    m_poll.stop();
    // The output first: once its stream is gone no render runs, then nothing reads the ring.
    m_playback.reset();
    if (m_capture)
        m_capture->stop();
    m_renderer.reset();
    m_capture.reset();
    m_channel.reset();
    ++m_generation;
    setRunning(false);
    if (m_statusText.startsWith(QStringLiteral("运行中")))
        setStatusText(QStringLiteral("已停止"));
}

void AccompanimentProcessor::setSemitones(int semitones)
{
    m_semitones = semitones;
    if (!m_renderer)
        return;
    m_renderer->setSemitones(semitones);
    updateLatency();
    setStatusText(runningStatus());
}

AccompanimentProcessor::LatencyTerms AccompanimentProcessor::latencyTerms() const
{
    LatencyTerms terms;
    terms.captureTargetMs =
        (m_renderer ? m_renderer->captureTargetFrames() : 3 * kRenderPeriodFrames) / kFramesPerMs;
    const auto cached = m_startDelayCache.find(m_semitones);
    terms.startDelayMs = cached != m_startDelayCache.end() ? cached->second : 0.0;
    terms.playbackMs = kPlaybackTargetFrames / kFramesPerMs;
    if (m_playback) {
        if (const auto reported = m_playback->latency()) {
            terms.playbackMs = static_cast<double>(reported->count()) / 1000.0;
            terms.playbackReported = true;
        }
    }
    return terms;
}

AccompanimentProcessor::Glitches AccompanimentProcessor::glitches() const
{
    Glitches glitches;
    if (m_renderer) {
        glitches.trimmedFrames = m_renderer->trimmedFrames();
        glitches.underrunFrames = m_renderer->underrunFrames();
    }
    if (m_playback)
        glitches.outputUnderflows = m_playback->underflows();
    return glitches;
}

void AccompanimentProcessor::learnStartDelay(int semitones)
{
    if (m_startDelayCache.contains(semitones) || !m_renderer)
        return;
    // Known once the renderer's thread has built a stretcher for it.
    if (const auto frames = m_renderer->startDelayFrames(semitones))
        m_startDelayCache.emplace(semitones, *frames / kFramesPerMs);
}

void AccompanimentProcessor::updateLatency()
{
    if (!m_running)
        return;
    learnStartDelay(m_semitones);
    const LatencyTerms terms = latencyTerms();
    setLatencyMs(terms.captureTargetMs + terms.startDelayMs + terms.playbackMs);
}

QString AccompanimentProcessor::runningStatus() const
{
    if (!m_channel)
        return m_statusText;
    return QStringLiteral("运行中：%1→默认输出 移调%2（延迟 %3 ms）")
        .arg(m_channel->name, QString::asprintf("%+d", m_semitones),
             QString::fromLatin1(number_format::fixed(m_latencyMs, 0)));
}

bool AccompanimentProcessor::monitorsDefaultSink(uint32_t deviceID, QString* sink) const
{
    const std::optional<QString> defaultSink = m_audio.defaultSinkName();
    if (!defaultSink)
        return false;
    for (const AudioSourceInfo& source : m_audio.listSources()) {
        if (source.deviceID == deviceID && source.monitorOfSink == defaultSink) {
            if (sink)
                *sink = *defaultSink;
            return true;
        }
    }
    return false;
}

void AccompanimentProcessor::onStreamLost(quint64 generation, bool output)
{
    if (generation != m_generation || !m_running)
        return;
    const QString name = m_channel ? m_channel->name : QString();
    PluginIPC::chainLog(output ? QStringLiteral("伴奏移调：输出中断，等待恢复")
                               : QStringLiteral("伴奏移调：采集中断（%1），等待通道恢复").arg(name));
    setStatusText(output ? kOutputLostStatus : kLostStatus);
    teardown();
    m_restartWhenBack = true;
}

void AccompanimentProcessor::onAudioChanged()
{
    if (m_running && m_channel) {
        QString sink;
        if (monitorsDefaultSink(m_channel->deviceID, &sink)) {
            PluginIPC::chainLog(
                QStringLiteral("伴奏移调：回授：默认输出改为 %1，回路通道（%2）监听的正是它，已停止")
                    .arg(sink, m_channel->name));
            setStatusText(kFeedbackStatus);
            teardown();
            m_restartWhenBack = true;
        }
        return;
    }
    if (!m_restartWhenBack || !m_audio.isConnected())
        return;
    const std::optional<AudioChannel> channel = AudioChannelDetector::selectedChannel(m_audio);
    if (!channel || !m_audio.defaultSinkName() || monitorsDefaultSink(channel->deviceID))
        return;
    PluginIPC::chainLog(QStringLiteral("伴奏移调：通道恢复（%1），重新启动").arg(channel->name));
    start();
}

void AccompanimentProcessor::poll()
{
    if (!m_running)
        return;
    // Lines the audio threads computed, written here.
    if (!m_layoutLogged && m_capture) {
        if (const auto layout = m_capture->firstLayout()) {
            m_layoutLogged = true;
            PluginIPC::chainLog(LoopCapture::layoutLogLine(*layout));
        }
    }
    if (m_renderer && m_renderer->takeBuildFailure()) {
        fail(QStringLiteral("音频单元创建失败"), QStringLiteral("音频单元创建失败"));
        return;
    }
    if (m_renderer) {
        if (const auto levels = m_renderer->takeLevelReport()) {
            // The counters are the run's totals, so the last line of a field report has them all.
            PluginIPC::chainLog(
                QStringLiteral("伴奏移调：2s 采集 RMS=%1 输出 RMS=%2 丢弃帧=%3 欠载帧=%4 输出欠载=%5次 输出缓冲=%6帧")
                    .arg(QString::fromLatin1(number_format::fixed(levels->inRms, 4)),
                         QString::fromLatin1(number_format::fixed(levels->outRms, 4)))
                    .arg(levels->trimmedFrames)
                    .arg(levels->underrunFrames)
                    .arg(m_playback ? m_playback->underflows() : 0)
                    .arg(m_playback ? m_playback->targetFrames() : 0));
        }
    }
    const double before = m_latencyMs;
    updateLatency();
    writeRunningLineWhenKnown();
    if (std::abs(m_latencyMs - before) >= 1.0)
        setStatusText(runningStatus());
}

void AccompanimentProcessor::setRunning(bool running)
{
    if (m_running == running)
        return;
    m_running = running;
    if (!running)
        setLatencyMs(0);
    emit isRunningChanged();
}

void AccompanimentProcessor::setStatusText(const QString& text)
{
    if (m_statusText == text)
        return;
    m_statusText = text;
    emit statusTextChanged();
}

void AccompanimentProcessor::setLatencyMs(double ms)
{
    if (m_latencyMs == ms)
        return;
    m_latencyMs = ms;
    emit latencyMsChanged();
}
