// The transposer's engine: Rubber Band configurations on the render path in virtual time (a
// chord of three pure tones, 4 s per run): CPU per second of audio on the render thread, the
// stretcher's start delay, and the strongest spectral component that is not one of the
// shifted tones (sidebands), relative to the strongest tone.
//
// Configurations 0-9 are fixed Rubber Band option sets; "chosen" is the renderer's own choice
// per shift (TransposeRenderer::defaultStretcherOptions).
//
// BM_RenderDelay: the render path's own delay in virtual time, per engine and render period
// (bursts of a tone, envelopes cross-correlated).
//
// BM_ChainLatency: the whole chain on the PulseAudio server of tests/run-with-services,
// input and output on one recording. A null sink "mix" carries the input on its left channel
// and the chain's output on its right: bursts are played into "mixL" (a remap onto mix's
// left), the chain captures "tapL" (a remap of mix.monitor's left) and plays on the default
// sink "mixR" (a remap onto mix's right). Recording mix.monitor puts both envelopes on the
// recorded audio's own time axis; their cross-correlation is the end-to-end delay. On
// PipeWire (TONIVOX_TEST_SOUND_SERVER=pipewire) the chain goes from one null sink to another
// and a capture stream of the graph records both monitors (see GraphAxisRig).
//
// BM_ChainShiftGap: changes of shift through the chain between two null sinks on a steady
// tone: the longest gap of silence each leaves and how soon the new pitch is heard.
#include "core/settings_store.h"
#include "platform/pulse_audio_client.h"
#include "transpose/accompaniment_processor.h"
#include "transpose/loop_capture.h"
#include "transpose/transpose_renderer.h"
#include "transpose/tone_measure.h" // tests/: the tests' tone measurements

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fftw3.h>
#include <functional>
#include <mutex>
#include <numbers>
#include <rubberband/RubberBandStretcher.h>
#include <span>

namespace {

using RB = RubberBand::RubberBandStretcher;
constexpr double kRate = 48000.0;
constexpr double kChord_Hz[] = {261.63, 329.63, 392.00}; // C major, pure tones

int engineOptions(int config)
{
    const int base = RB::OptionProcessRealTime | RB::OptionChannelsTogether;
    switch (config) {
    case 0:
        return base | RB::OptionEngineFaster;
    case 1:
        return base | RB::OptionEngineFaster | RB::OptionPitchHighConsistency;
    case 2:
        return base | RB::OptionEngineFiner;
    case 3:
        return base | RB::OptionEngineFiner | RB::OptionWindowShort;
    case 4:
        return base | RB::OptionEngineFiner | RB::OptionWindowShort | RB::OptionPitchHighConsistency;
    case 5:
        return base | RB::OptionEngineFiner | RB::OptionWindowShort | RB::OptionPitchHighQuality;
    case 6:
        return base | RB::OptionEngineFiner | RB::OptionPitchHighQuality;
    case 7:
        return base | RB::OptionEngineFaster | RB::OptionTransientsSmooth;
    case 8:
        return RB::OptionProcessRealTime | RB::OptionChannelsApart | RB::OptionEngineFiner |
               RB::OptionWindowShort;
    default:
        return base | RB::OptionEngineFiner | RB::OptionWindowShort | RB::OptionFormantPreserved;
    }
}
// The last configuration is the renderer's own choice per shift.
constexpr int kChosen = 10;
std::function<int(int)> stretcherOptions(int config)
{
    if (config == kChosen)
        return &TransposeRenderer::defaultStretcherOptions;
    return [config](int) { return engineOptions(config); };
}
const char* engineName(int config)
{
    static const char* names[] = {"R2",
                                  "R2+HighConsistency",
                                  "R3",
                                  "R3+WindowShort",
                                  "R3+WindowShort+HighConsistency",
                                  "R3+WindowShort+HighQuality",
                                  "R3+HighQuality",
                                  "R2+TransientsSmooth",
                                  "R3+WindowShort+ChannelsApart",
                                  "R3+WindowShort+FormantPreserved",
                                  "chosen"};
    return names[config];
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Strongest component farther than 10 Hz from every expected tone, in dB below the
// strongest expected tone (Hann window, 65536 points, 50 Hz–6 kHz), and its frequency.
struct Sideband {
    double dB = 0;
    double frequency_Hz = 0;
};
Sideband sideband(const std::vector<float>& samples, const std::vector<double>& expected_Hz)
{
    constexpr int n = 65536;
    std::vector<float> in(n);
    const size_t start = samples.size() - n;
    for (int i = 0; i < n; ++i)
        in[i] =
            samples[start + i] * static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (n - 1)));
    std::vector<fftwf_complex> out(n / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftwf_execute(plan);
    fftwf_destroy_plan(plan);
    const double binHz = kRate / n;
    double tone = 0, other = 0, other_Hz = 0;
    for (int k = static_cast<int>(50 / binHz); k < static_cast<int>(6000 / binHz); ++k) {
        const double magnitude = std::hypot(out[k][0], out[k][1]);
        const double f = k * binHz;
        const bool near = std::any_of(expected_Hz.begin(), expected_Hz.end(),
                                      [&](double e) { return std::abs(f - e) <= 10.0; });
        if (near) {
            tone = std::max(tone, magnitude);
        } else if (magnitude > other) {
            other = magnitude;
            other_Hz = f;
        }
    }
    return {20 * std::log10(other / tone), other_Hz};
}

// `input` (mono, on both channels) through the render path in periods of 256 frames: the
// left output and the render thread's CPU seconds.
struct Rendered {
    std::vector<float> left;
    double cpu_s = 0;
    double delay_ms = 0;
    int64_t trimmed = 0, underrun = 0;
};
Rendered renderThrough(int config, int semitones, const std::vector<float>& input)
{
    constexpr uint32_t kPeriod = 256;
    LoopCapture capture(1);
    TransposeRenderer::Config renderConfig;
    renderConfig.stretcherOptions = stretcherOptions(config);
    TransposeRenderer renderer(capture, renderConfig);
    renderer.setSemitones(semitones);
    renderer.waitUntilBuilt();
    Rendered out;
    out.left.reserve(input.size());
    std::vector<float> block(2 * kPeriod);
    for (size_t at = 0; at + kPeriod <= input.size(); at += kPeriod) {
        for (uint32_t i = 0; i < kPeriod; ++i)
            block[2 * i] = block[2 * i + 1] = input[at + i];
        const AudioBufferRef buffer{2, kPeriod * 8, block.data()};
        capture.append(std::span(&buffer, 1));
        const double before = threadCpuSeconds();
        renderer.render(block.data(), kPeriod);
        out.cpu_s += threadCpuSeconds() - before;
        for (uint32_t i = 0; i < kPeriod; ++i)
            out.left.push_back(block[2 * i]);
    }
    out.delay_ms = renderer.startDelayFrames(semitones).value_or(0) / kRate * 1000;
    out.trimmed = renderer.trimmedFrames();
    out.underrun = renderer.underrunFrames();
    return out;
}

void BM_Engine(benchmark::State& state)
{
    const int config = static_cast<int>(state.range(0));
    const int semitones = static_cast<int>(state.range(1));
    state.SetLabel(engineName(config));
    constexpr double kSeconds = 4.0;
    std::vector<float> chord(static_cast<size_t>(kSeconds * kRate));
    for (size_t frame = 0; frame < chord.size(); ++frame) {
        double s = 0;
        for (double f : kChord_Hz)
            s += 0.2 * std::sin(2 * std::numbers::pi * f * static_cast<double>(frame) / kRate);
        chord[frame] = static_cast<float>(s);
    }
    for (auto _ : state) {
        const Rendered out = renderThrough(config, semitones, chord);
        std::vector<double> expected;
        for (double f : kChord_Hz)
            expected.push_back(f * std::pow(2.0, semitones / 12.0));
        state.counters["cpu_ms_per_s"] = out.cpu_s * 1000 / kSeconds;
        state.counters["start_delay_ms"] = out.delay_ms;
        const Sideband strongest = sideband(out.left, expected);
        state.counters["sideband_dB"] = strongest.dB;
        state.counters["sideband_Hz"] = strongest.frequency_Hz;
        state.counters["trimmed"] = static_cast<double>(out.trimmed);
        state.counters["underrun"] = static_cast<double>(out.underrun);
    }
}

// Drum hits (noise bursts decaying over 5 ms, four a second): the share of each period's
// energy within 5 ms before to 10 ms after its loudest sample. The input gives about 1; an
// engine that smears attacks spreads them over the period.
void BM_Attack(benchmark::State& state)
{
    const int config = static_cast<int>(state.range(0));
    const int semitones = static_cast<int>(state.range(1));
    state.SetLabel(engineName(config));
    constexpr size_t kPeriod = 12000;
    std::vector<float> hits(static_cast<size_t>(4 * kRate));
    uint32_t noise = 1;
    for (size_t i = 0; i < hits.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double white = static_cast<double>(noise) / 4294967296.0 * 2 - 1;
        hits[i] = static_cast<float>(0.6 * white * std::exp(-static_cast<double>(i % kPeriod) / 240.0));
    }
    for (auto _ : state) {
        const Rendered out = renderThrough(config, semitones, hits);
        double share = 0;
        int periods = 0;
        for (size_t start = static_cast<size_t>(kRate); start + kPeriod <= out.left.size();
             start += kPeriod) {
            const auto period = std::span(out.left).subspan(start, kPeriod);
            const auto peak = static_cast<size_t>(
                std::max_element(period.begin(), period.end(),
                                 [](float a, float b) { return std::abs(a) < std::abs(b); }) -
                period.begin());
            double near = 0, all = 0;
            for (size_t i = 0; i < kPeriod; ++i) {
                const double e = static_cast<double>(period[i]) * period[i];
                all += e;
                if (i + 240 >= peak && i <= peak + 480)
                    near += e;
            }
            share += all > 0 ? near / all : 0;
            ++periods;
        }
        state.counters["attack_share"] = periods > 0 ? share / periods : 0;
    }
}
BENCHMARK(BM_Attack)
    ->ArgsProduct({{0, 3, 7, kChosen}, {-6, 3, 6}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
void engineArgs(benchmark::internal::Benchmark* b)
{
    for (int config = 0; config <= kChosen; ++config)
        for (int semitones : {-6, -5, -4, -3, -2, -1, 1, 2, 3, 4, 5, 6})
            b->Args({config, semitones});
}
BENCHMARK(BM_Engine)->Apply(engineArgs)->Iterations(1)->Unit(benchmark::kMillisecond);

// Envelope: mean of |x| over blocks of `block` frames.
std::vector<double> envelope(const std::vector<float>& side, size_t block)
{
    std::vector<double> out(side.size() / block);
    for (size_t b = 0; b < out.size(); ++b) {
        double sum = 0;
        for (size_t i = 0; i < block; ++i)
            sum += std::abs(side[b * block + i]);
        out[b] = sum / static_cast<double>(block);
    }
    return out;
}

// The lag (in blocks, 0..maxLag) at which `output` best matches `input` over [from, to).
size_t bestLag(const std::vector<double>& input, const std::vector<double>& output, size_t from, size_t to,
               size_t maxLag)
{
    size_t best = 0;
    double bestScore = -1;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        double score = 0;
        for (size_t i = from; i < to && i + lag < output.size(); ++i)
            score += input[i] * output[i + lag];
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

constexpr double kBurst_s = 0.05, kBurstPeriod_s = 0.5;
constexpr size_t kEnvelopeBlock = 12; // 0.25 ms

// Delays (ms) of each burst of `input` in `output`, both on one time axis: the envelopes
// cross-correlated burst by burst.
std::vector<double> burstDelays_ms(const std::vector<float>& input, const std::vector<float>& output)
{
    const auto in = envelope(input, kEnvelopeBlock), out = envelope(output, kEnvelopeBlock);
    const double blocksPerMs = kRate / 1000.0 / kEnvelopeBlock;
    const auto maxLag = static_cast<size_t>(250 * blocksPerMs);
    std::vector<double> delays;
    for (size_t b = 0; b < in.size();) {
        if (in[b] < 0.02) {
            ++b;
            continue;
        }
        const size_t from = b > 40 ? b - 40 : 0; // from 10 ms before the onset
        const auto to = static_cast<size_t>(static_cast<double>(b) + (kBurst_s * 1000 + 10) * blocksPerMs);
        if (to + maxLag < out.size())
            delays.push_back(static_cast<double>(bestLag(in, out, from, to, maxLag)) / blocksPerMs);
        b = static_cast<size_t>(static_cast<double>(b) + kBurstPeriod_s * 0.8 * 1000 * blocksPerMs);
    }
    std::sort(delays.begin(), delays.end());
    return delays;
}

// A 440 Hz burst of kBurst_s at the start of every kBurstPeriod_s after `lead_s` of silence.
std::vector<float> bursts(double lead_s, int count)
{
    std::vector<float> signal(static_cast<size_t>((lead_s + count * kBurstPeriod_s) * kRate));
    for (int b = 0; b < count; ++b) {
        const auto start = static_cast<size_t>((lead_s + b * kBurstPeriod_s) * kRate);
        for (size_t i = 0; i < static_cast<size_t>(kBurst_s * kRate); ++i)
            signal[start + i] = static_cast<float>(
                0.3 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / kRate));
    }
    return signal;
}

// The render path's own delay in virtual time (no server): capture appends one period, the
// output pulls one, as the two streams would at equal clocks.
void BM_RenderDelay(benchmark::State& state)
{
    const int config = static_cast<int>(state.range(0));
    const int semitones = static_cast<int>(state.range(1));
    const auto period = static_cast<uint32_t>(state.range(2));
    state.SetLabel(engineName(config));
    for (auto _ : state) {
        LoopCapture capture(1);
        TransposeRenderer::Config renderConfig;
        renderConfig.stretcherOptions = stretcherOptions(config);
        renderConfig.renderPeriodFrames = period;
        renderConfig.marginFrames = period;
        TransposeRenderer renderer(capture, renderConfig);
        renderer.setSemitones(semitones);
        renderer.waitUntilBuilt();
        const std::vector<float> input = bursts(1.0, 6);
        std::vector<float> output, block(2 * period);
        output.reserve(input.size());
        for (size_t at = 0; at + period <= input.size(); at += period) {
            for (uint32_t i = 0; i < period; ++i)
                block[2 * i] = block[2 * i + 1] = input[at + i];
            const AudioBufferRef buffer{2, period * 8, block.data()};
            capture.append(std::span(&buffer, 1));
            renderer.render(block.data(), period);
            for (uint32_t i = 0; i < period; ++i)
                output.push_back(block[2 * i]);
        }
        const auto delays = burstDelays_ms(
            {input.begin(), input.begin() + static_cast<std::ptrdiff_t>(output.size())}, output);
        if (delays.empty()) {
            state.SkipWithError("no burst came through");
            return;
        }
        state.counters["delay_ms_median"] = delays[delays.size() / 2];
        state.counters["start_delay_ms"] = renderer.startDelayFrames(semitones).value_or(0) / kRate * 1000;
    }
}
BENCHMARK(BM_RenderDelay)
    ->ArgsProduct({{0, 2, 3, 7, kChosen}, {-6, 3, 6}, {256}})
    ->Args({3, -6, 128})
    ->Args({3, 0, 256})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

QByteArray pactl(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), arguments);
    p.waitForFinished(5000);
    return p.readAllStandardOutput().trimmed();
}

// Runs the event loop until `done` or the deadline; false on the deadline.
template <typename Done> bool waitFor(Done done, std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// Sinks and sources loaded for one run, the default sink moved, the channel setting and HOME
// in a folder of their own; all undone on destruction.
class Rig {
public:
    Rig(const std::vector<QStringList>& modules, const QString& defaultSink, const QString& channel)
        : m_oldHome(qgetenv("HOME")), m_settings(m_dir.path() + QStringLiteral("/Tonivox.conf"))
    {
        qputenv("HOME", m_dir.path().toUtf8());
        m_previousSettings = SettingsStore::installShared(&m_settings);
        m_previousDefault = pactl({"get-default-sink"});
        for (const QStringList& module : modules)
            m_modules.push_back(pactl(QStringList{"load-module"} + module));
        pactl({"set-default-sink", defaultSink});
        m_settings.setAccompanimentChannelUID(channel);
    }
    ~Rig()
    {
        if (!m_previousDefault.isEmpty())
            pactl({"set-default-sink", QString::fromUtf8(m_previousDefault)});
        for (auto it = m_modules.rbegin(); it != m_modules.rend(); ++it)
            if (!it->isEmpty())
                pactl({"unload-module", QString::fromUtf8(*it)});
        SettingsStore::installShared(m_previousSettings);
        qputenv("HOME", m_oldHome);
    }
    bool ready() const
    {
        return std::none_of(m_modules.begin(), m_modules.end(),
                            [](const QByteArray& m) { return m.isEmpty(); });
    }
    QString dir() const { return m_dir.path(); }
    // Plays 48 kHz mono samples into `sink` with paplay, as a player would.
    void play(QProcess& player, const QString& sink, const std::vector<float>& mono) const
    {
        const QString path = dir() + QStringLiteral("/played.raw");
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(reinterpret_cast<const char*>(mono.data()), static_cast<qint64>(mono.size() * 4));
        file.close();
        player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, "--raw", "--format=float32le",
                                                "--rate=48000", "--channels=1", path});
        player.waitForStarted(5000);
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
    SettingsStore m_settings;
    SettingsStore* m_previousSettings = nullptr;
    QByteArray m_previousDefault;
    std::vector<QByteArray> m_modules;
};

// The one-axis setup of BM_ChainLatency on PulseAudio.
class OneAxisRig : public Rig {
public:
    OneAxisRig()
        : Rig({{"module-null-sink", "sink_name=mix", "rate=48000", "format=float32le", "channels=2"},
               {"module-remap-sink", "sink_name=mixL", "master=mix", "channels=1", "channel_map=mono",
                "master_channel_map=front-left", "remix=no"},
               {"module-remap-sink", "sink_name=mixR", "master=mix", "channels=1", "channel_map=mono",
                "master_channel_map=front-right", "remix=no"},
               {"module-remap-source", "source_name=tapL", "master=mix.monitor", "channels=1",
                "channel_map=mono", "master_channel_map=front-left", "remix=no"}},
              QStringLiteral("mixR"), QStringLiteral("tapL"))
    {}
};

// On PipeWire the remaps are loopback nodes, each with a buffer of its own that the figure
// would include. There the chain captures one null sink's monitor and plays on another, and
// a capture stream of the graph itself (pw-record, linked port by port with pw-link) takes
// both monitors' left channels in the same cycles: one time axis without a buffer between.
class GraphAxisRig : public Rig {
public:
    GraphAxisRig()
        : Rig({{"module-null-sink", "sink_name=axisIn", "rate=48000", "channels=2"},
               {"module-null-sink", "sink_name=axisOut", "rate=48000", "channels=2"}},
              QStringLiteral("axisOut"), QStringLiteral("axisIn.monitor"))
    {}
    bool startRecording()
    {
        m_recorder.start(QStringLiteral("pw-record"), {"--target", "0", "-P", "node.name=tonivox_axis", "--format",
                                                       "f32", "--rate", "48000", "--channels", "2", path()});
        if (!m_recorder.waitForStarted(5000))
            return false;
        const auto link = [](const char* from, const char* to) {
            for (int attempt = 0; attempt < 50; ++attempt) {
                if (QProcess::execute(QStringLiteral("pw-link"), {from, to}) == 0)
                    return true;
                QThread::msleep(100); // the recorder's ports appear once it has connected
            }
            return false;
        };
        return link("axisIn:monitor_FL", "tonivox_axis:input_FL") &&
               link("axisOut:monitor_FL", "tonivox_axis:input_FR");
    }
    // Ends the recording (SIGINT: the file is closed properly) and reads its two channels.
    bool stopRecording(std::vector<float>& left, std::vector<float>& right)
    {
        ::kill(static_cast<pid_t>(m_recorder.processId()), SIGINT);
        if (!m_recorder.waitForFinished(5000))
            return false;
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray wav = file.readAll();
        const qsizetype data = wav.indexOf("data");
        if (data < 0)
            return false;
        const auto* samples = reinterpret_cast<const float*>(wav.constData() + data + 8);
        const auto count = static_cast<size_t>((wav.size() - data - 8) / 8);
        for (size_t i = 0; i < count; ++i) {
            left.push_back(samples[2 * i]);
            right.push_back(samples[2 * i + 1]);
        }
        return count > 0;
    }

private:
    QString path() const { return dir() + QStringLiteral("/axis.wav"); }
    QProcess m_recorder;
};

// The real-chain cases run against the test services' sound server, with a Qt application
// for the client's events. False (the case skipped) without the services.
bool readyForTheRealChain(benchmark::State& state)
{
    if (!qEnvironmentVariableIsSet("TONIVOX_TEST_SERVICES")) {
        state.SkipWithError("needs the sound server of tests/run-with-services");
        return false;
    }
    static int argc = 1;
    static char name[] = "bench_transpose";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    static_cast<void>(app);
    return true;
}

bool onPipeWire()
{
    return qgetenv("TONIVOX_TEST_SOUND_SERVER") == "pipewire";
}

void BM_ChainLatency(benchmark::State& state)
{
    if (!readyForTheRealChain(state))
        return;

    const int semitones = static_cast<int>(state.range(0));
    const bool graph = onPipeWire();
    for (auto _ : state) {
        std::unique_ptr<Rig> rig;
        if (graph)
            rig = std::make_unique<GraphAxisRig>();
        else
            rig = std::make_unique<OneAxisRig>();
        if (!rig->ready()) {
            state.SkipWithError("could not load the rig's modules");
            return;
        }
        const QString output = graph ? QStringLiteral("axisOut") : QStringLiteral("mixR");
        PulseAudioClient audio;
        if (!waitFor([&] { return audio.defaultSinkName() == output; }, std::chrono::seconds(10))) {
            state.SkipWithError("the rig's output did not become the default sink");
            return;
        }
        AccompanimentProcessor processor(audio);
        processor.setSemitones(semitones);
        if (!waitFor([&] { return processor.start(); }, std::chrono::seconds(10))) {
            state.SkipWithError(processor.statusText().toStdString().c_str());
            return;
        }

        std::mutex lock;
        std::vector<float> left, right;
        std::unique_ptr<AudioRecording> recording;
        if (graph) {
            if (!static_cast<GraphAxisRig&>(*rig).startRecording()) {
                state.SkipWithError("pw-record could not be linked to the monitors");
                return;
            }
        } else {
            for (const auto& source : audio.listSources())
                if (source.uid == QStringLiteral("mix.monitor"))
                    recording = audio.startRecording(
                        source.deviceID, PulseAudioClient::RecordOptions{},
                        [&](const AudioBufferRef& buffer) {
                            std::lock_guard guard(lock);
                            for (uint32_t i = 0; i + 1 < buffer.byteSize / 4; i += 2) {
                                left.push_back(buffer.data[i]);
                                right.push_back(buffer.data[i + 1]);
                            }
                        },
                        nullptr);
            if (!recording) {
                state.SkipWithError("mix.monitor not found");
                return;
            }
        }

        // Silence while the chain settles (the monitor's first lump is dropped), then short
        // bursts of a pure tone, each alone in its period.
        const std::vector<float> signal = bursts(2.0, 8);
        QProcess player;
        rig->play(player, graph ? QStringLiteral("axisIn") : QStringLiteral("mixL"), signal);
        waitFor([&] { return player.state() == QProcess::NotRunning; }, std::chrono::seconds(30));
        waitFor([] { return false; }, std::chrono::milliseconds(500)); // the last burst's output
        if (graph && !static_cast<GraphAxisRig&>(*rig).stopRecording(left, right)) {
            state.SkipWithError("pw-record left no recording");
            return;
        }
        recording.reset();
        const auto terms = processor.latencyTerms();
        const double reported = processor.latencyMs();
        processor.stop();

        const auto lags = burstDelays_ms(left, right);
        if (lags.empty()) {
            state.SkipWithError("no burst came through");
            return;
        }
        state.counters["bursts"] = static_cast<double>(lags.size());
        state.counters["latency_ms_min"] = lags.front();
        state.counters["latency_ms_median"] = lags[lags.size() / 2];
        state.counters["latency_ms_max"] = lags.back();
        state.counters["reported_ms"] = reported;
        state.counters["capture_target_ms"] = terms.captureTargetMs;
        state.counters["start_delay_ms"] = terms.startDelayMs;
        state.counters["playback_ms"] = terms.playbackMs;
    }
}
BENCHMARK(BM_ChainLatency)->Arg(0)->Arg(6)->Arg(-6)->Iterations(1)->Unit(benchmark::kMillisecond);

// Changes of shift through the real chain (null sinks, a steady 440 Hz tone): for each
// change, the longest run of the output below 1 % of the tone's level from the call until the
// new pitch holds (a gap of silence; two tones crossing in a fade cancel for well under 1 ms),
// and how long after the call the new pitch is stronger than the old one (20 ms windows).
void BM_ChainShiftGap(benchmark::State& state)
{
    if (!readyForTheRealChain(state))
        return;

    for (auto _ : state) {
        // Null sinks only, as the accompaniment loop is one.
        Rig rig({{"module-null-sink", "sink_name=gapIn", "rate=48000", "channels=2"},
                 {"module-null-sink", "sink_name=gapOut", "rate=48000", "format=float32le", "channels=2"}},
                QStringLiteral("gapOut"), QStringLiteral("gapIn.monitor"));
        if (!rig.ready()) {
            state.SkipWithError("could not load the null sinks");
            return;
        }
        PulseAudioClient audio;
        if (!waitFor([&] { return audio.defaultSinkName() == QStringLiteral("gapOut"); },
                     std::chrono::seconds(10))) {
            state.SkipWithError("gapOut did not become the default sink");
            return;
        }
        AccompanimentProcessor processor(audio);
        if (!waitFor([&] { return processor.start(); }, std::chrono::seconds(10))) {
            state.SkipWithError(processor.statusText().toStdString().c_str());
            return;
        }
        std::mutex lock;
        std::vector<float> right;
        std::unique_ptr<AudioRecording> recording;
        for (const auto& source : audio.listSources())
            if (source.uid == QStringLiteral("gapOut.monitor"))
                recording = audio.startRecording(
                    source.deviceID, PulseAudioClient::RecordOptions{},
                    [&](const AudioBufferRef& buffer) {
                        std::lock_guard guard(lock);
                        for (uint32_t i = 1; i < buffer.byteSize / 4; i += 2)
                            right.push_back(buffer.data[i]);
                    },
                    nullptr);
        if (!recording) {
            state.SkipWithError("gapOut.monitor not found");
            return;
        }
        const auto recorded = [&] {
            std::lock_guard guard(lock);
            return right.size();
        };
        std::vector<float> tone(static_cast<size_t>(30 * kRate));
        for (size_t i = 0; i < tone.size(); ++i)
            tone[i] = static_cast<float>(
                0.3 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / kRate));
        QProcess player;
        rig.play(player, QStringLiteral("gapIn"), tone);
        // Until the tone comes out steadily.
        waitFor([&] { return recorded() > 96000; }, std::chrono::seconds(20));

        double worstGap_ms = 0, slowest_ms = 0, total_ms = 0;
        int changes = 0, missed = 0;
        const uint64_t underflowsBefore = processor.glitches().outputUnderflows;
        double pitch_Hz = 440;
        for (const int semitones : {7, -5, 0, 3, -1, 6, 0, -6, 2, 0}) {
            const size_t mark = recorded();
            processor.setSemitones(semitones);
            waitFor([&] { return recorded() > mark + 36000; }, std::chrono::seconds(10));
            const double next_Hz = 440 * std::pow(2.0, semitones / 12.0);
            std::vector<float> out;
            {
                std::lock_guard guard(lock);
                out.assign(right.begin() + static_cast<std::ptrdiff_t>(mark), right.end());
            }
            std::optional<size_t> at;
            for (size_t start = 0; !at && start + 960 <= out.size(); start += 240) {
                const std::vector<float> window(out.begin() + static_cast<std::ptrdiff_t>(start),
                                                out.begin() + static_cast<std::ptrdiff_t>(start + 960));
                if (tone_measure::magnitudeAt(window, kRate, next_Hz) >
                    tone_measure::magnitudeAt(window, kRate, pitch_Hz))
                    at = start + 480;
            }
            size_t longest = 0;
            for (size_t i = 0, run = 0; i < std::min(out.size(), at.value_or(out.size()) + 960); ++i) {
                run = std::abs(out[i]) < 0.003f ? run + 1 : 0;
                longest = std::max(longest, run);
            }
            worstGap_ms = std::max(worstGap_ms, static_cast<double>(longest) / kRate * 1000);
            if (at) {
                const double ms = static_cast<double>(*at) / kRate * 1000;
                slowest_ms = std::max(slowest_ms, ms);
                total_ms += ms;
                ++changes;
            } else {
                ++missed;
            }
            pitch_Hz = next_Hz;
        }
        const AccompanimentProcessor::Glitches glitches = processor.glitches();
        recording.reset();
        player.kill();
        player.waitForFinished(2000);
        processor.stop();
        state.counters["changes"] = changes;
        state.counters["missed"] = missed;
        state.counters["longest_gap_ms"] = worstGap_ms;
        state.counters["change_ms_mean"] = changes > 0 ? total_ms / changes : 0;
        state.counters["change_ms_max"] = slowest_ms;
        state.counters["underrun_frames"] = static_cast<double>(glitches.underrunFrames);
        state.counters["output_underflows"] =
            static_cast<double>(glitches.outputUnderflows - underflowsBefore);
    }
}
BENCHMARK(BM_ChainShiftGap)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK_MAIN();
