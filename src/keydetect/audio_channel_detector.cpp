#include "keydetect/audio_channel_detector.h"

#include "core/cancellation.h"
#include "core/settings_store.h"
#include "keydetect/audio_mixdown.h"
#include "keydetect/power_spectrum.h"

#include <QCoro/QCoroSignal>
#include <QObject>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>

namespace {

constexpr int kMusicalityLog2 = 11;
constexpr size_t kMusicalityLength = size_t{1} << kMusicalityLog2;
constexpr size_t kConcentrationPeaks = 8;

// Wakes the waiting coroutine on the main thread; posted to from any thread.
class CaptureWake : public QObject {
    Q_OBJECT
public:
    void post()
    {
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT woken(); }, Qt::QueuedConnection);
    }
Q_SIGNALS:
    void woken();
};

// Shared by one capture and its input callback.
struct CaptureContext {
    std::mutex lock;
    std::vector<float> samples; // mono, at the device's rate
    size_t wantedFrames = 0;
    bool ended = false;   // the stream ended on its own
    bool reached = false; // wantedFrames were collected
    CaptureWake* wake = nullptr;
};

std::vector<float> takeSamples(CaptureContext& context, size_t frames)
{
    std::lock_guard guard(context.lock);
    if (context.samples.size() > frames)
        context.samples.resize(frames);
    return std::move(context.samples);
}

// Starts the recording whose callbacks fill `context`; they run on the client's thread and
// only append and post a wake-up, as the service's contract asks.
std::unique_ptr<AudioRecording>
startCapture(AudioInputService& audio, const std::shared_ptr<CaptureContext>& context, uint32_t deviceID)
{
    auto onInput = [context](const AudioBufferRef& buffer) {
        const std::array<AudioBufferRef, 1> list{buffer};
        const auto mono = mixdownToMono(list);
        if (!mono || mono->empty())
            return;
        std::lock_guard guard(context->lock);
        context->samples.insert(context->samples.end(), mono->begin(), mono->end());
        if (!context->reached && context->wantedFrames > 0 &&
            context->samples.size() >= context->wantedFrames) {
            context->reached = true;
            context->wake->post();
        }
    };
    auto onEnded = [context] {
        std::lock_guard guard(context->lock);
        context->ended = true;
        context->wake->post();
    };
    return audio.startRecording(deviceID, onInput, onEnded);
}

} // namespace

std::vector<AudioChannelDetector::Channel>
AudioChannelDetector::channelsFrom(const std::vector<AudioSourceInfo>& sources)
{
    std::vector<Channel> channels;
    for (const AudioSourceInfo& source : sources) {
        if (source.channelCount == 0)
            continue;
        const QString number = QString::number(source.deviceID);
        channels.push_back(Channel{source.deviceID, source.name.value_or(QStringLiteral("Device ") + number),
                                   source.uid.value_or(number)});
    }
    return channels;
}

std::vector<AudioChannelDetector::Channel> AudioChannelDetector::listInputs(const AudioInputService& audio)
{
    return channelsFrom(audio.listSources());
}

std::optional<AudioChannelDetector::Channel>
AudioChannelDetector::selectedChannel(const AudioInputService& audio)
{
    const std::optional<QString> uid = SettingsStore::shared().accompanimentChannelUID();
    if (!uid)
        return std::nullopt;
    const std::vector<Channel> inputs = listInputs(audio);
    const auto it =
        std::find_if(inputs.begin(), inputs.end(), [&](const Channel& c) { return c.uid == *uid; });
    if (it == inputs.end())
        return std::nullopt;
    return *it;
}

QCoro::Task<std::optional<std::vector<float>>>
AudioChannelDetector::capture(AudioInputService& audio, uint32_t deviceID,
                              std::chrono::duration<double> duration, std::stop_token stop)
{
    if (stop.stop_requested())
        co_return std::nullopt;
    auto context = std::make_shared<CaptureContext>();
    auto wake = std::make_unique<CaptureWake>();
    context->wake = wake.get();

    // Queues the stream's start and returns at once: the wait below covers the start-up too,
    // so a stop request or the stream failing to start is seen while it is starting.
    std::unique_ptr<AudioRecording> recording = startCapture(audio, context, deviceID);
    if (!recording)
        co_return std::nullopt;

    const double rate = recording->sampleRateHz() > 0 ? recording->sampleRateHz() : kCaptureRateHz;
    const auto wantedFrames = static_cast<size_t>(std::llround(std::max(0.0, duration.count()) * rate));
    bool finished = false;
    {
        std::lock_guard guard(context->lock);
        context->wantedFrames = wantedFrames;
        context->reached = context->samples.size() >= wantedFrames;
        finished = context->reached || context->ended;
    }

    // Count samples, not only wall time; a stop request or the stream's end wakes the wait.
    {
        std::stop_callback onStop(stop, [wakePtr = wake.get()] { wakePtr->post(); });
        const auto limit =
            std::chrono::duration_cast<std::chrono::milliseconds>(duration + kLateStartAllowance);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!finished && !stop.stop_requested()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            co_await qCoro(wake.get(), &CaptureWake::woken, left);
            std::lock_guard guard(context->lock);
            finished = context->reached || context->ended;
        }
    }

    // Stop the stream before the wake object goes: no callback can post to it afterwards.
    recording.reset();
    std::vector<float> samples = takeSamples(*context, wantedFrames);
    if (samples.empty())
        co_return std::nullopt;
    // Resampling 45 s holds a thread for milliseconds: a worker's, not the main thread's.
    // A stop does not cut this short: what was recorded is returned.
    QFuture<std::vector<float>> resampled = QtConcurrent::run(
        [samples = std::move(samples), rate] { return resample(samples, rate, kCaptureRateHz); });
    std::optional<std::vector<float>> out = co_await cancellation::awaitFuture(resampled, {});
    co_return out;
}

double AudioChannelDetector::musicality(std::span<const float> samples)
{
    if (samples.size() < kMusicalityLength + 1)
        return 0;
    float squares = 0;
    for (float v : samples)
        squares += v * v;
    const float rms = std::sqrt(squares / static_cast<float>(samples.size()));
    if (!(rms > 0.0001f))
        return 0;

    PowerSpectrum fft(kMusicalityLog2);
    if (!fft.isValid())
        return 0;
    const std::span<const float> window = normalizedHannWindow(kMusicalityLog2);
    const size_t offset = (samples.size() - kMusicalityLength) / 2;
    const std::span<float> input = fft.input();
    for (size_t n = 0; n < kMusicalityLength; ++n)
        input[n] = samples[offset + n] * window[n];
    std::vector<float> powers;
    fft.compute(powers);

    // Bins 1 … N/2 − 2: the packed form's last bin only serves as a neighbour.
    const size_t lastBin = kMusicalityLength / 2 - 2;
    double total = 0;
    std::vector<float> peaks;
    for (size_t k = 1; k <= lastBin; ++k) {
        total += powers[k];
        if (powers[k - 1] <= powers[k] && powers[k + 1] <= powers[k])
            peaks.push_back(powers[k]);
    }
    if (!(total > 0))
        return 0;
    const size_t kept = std::min(kConcentrationPeaks, peaks.size());
    std::partial_sort(peaks.begin(), peaks.begin() + static_cast<long>(kept), peaks.end(), std::greater<>());
    double top = 0;
    for (size_t i = 0; i < kept; ++i)
        top += peaks[i];
    const double concentration = top / total;
    return static_cast<double>(rms) * 10.0 + concentration * 5.0;
}

#include "audio_channel_detector.moc"
