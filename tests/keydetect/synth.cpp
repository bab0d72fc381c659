#include "keydetect/synth.h"

#include <QDataStream>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace synth {

std::vector<ChordStep> majorCadence()
{
    return {{0, true}, {5, true}, {7, true}, {0, true}};
}
std::vector<ChordStep> minorCadence()
{
    return {{0, false}, {5, false}, {7, true}, {0, false}};
}
std::vector<ChordStep> minorAeolianLoop()
{
    return {{0, false}, {8, true}, {3, true}, {10, true}};
}

std::vector<float> sine(double frequency_Hz, double seconds, double rate_Hz, float amplitude)
{
    std::vector<float> out(static_cast<size_t>(seconds * rate_Hz));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * frequency_Hz *
                                                         static_cast<double>(i) / rate_Hz));
    return out;
}

namespace {
void addNote(std::vector<double>& out, size_t start, size_t length, int note, double level, double rate_Hz)
{
    const double f = 440.0 * std::pow(2.0, (note - 69) / 12.0);
    const size_t fade = static_cast<size_t>(0.02 * rate_Hz);
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        // Short fades keep chord changes free of clicks; a slow decay like a plucked string.
        double envelope = std::exp(-0.6 * static_cast<double>(i) / rate_Hz);
        if (i < fade)
            envelope *= static_cast<double>(i) / static_cast<double>(fade);
        if (length - i < fade)
            envelope *= static_cast<double>(length - i) / static_cast<double>(fade);
        double v = 0;
        for (int h = 1; h <= 4; ++h)
            v += std::sin(2.0 * std::numbers::pi * f * h * static_cast<double>(i) / rate_Hz) / h;
        out[start + i] += level * envelope * v;
    }
}
} // namespace

std::vector<float> progression(int tonic, const std::vector<ChordStep>& steps, double seconds, double rate_Hz,
                               double chordSeconds)
{
    std::vector<double> mix(static_cast<size_t>(seconds * rate_Hz), 0.0);
    const auto chordLength = static_cast<size_t>(chordSeconds * rate_Hz);
    for (size_t start = 0, step = 0; start < mix.size(); start += chordLength, ++step) {
        const ChordStep& chord = steps[step % steps.size()];
        const int root = (tonic + chord.rootOffset) % 12;
        addNote(mix, start, chordLength, 36 + root, 0.12, rate_Hz);
        for (int interval : {0, chord.major ? 4 : 3, 7})
            addNote(mix, start, chordLength, 60 + root + interval, 0.08, rate_Hz);
    }
    return std::vector<float>(mix.begin(), mix.end());
}

bool writeWav(const QString& path, const std::vector<float>& mono, int rate_Hz, int channels)
{
    const auto dataBytes = static_cast<quint32>(mono.size() * 2 * static_cast<size_t>(channels));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(channels) << quint32(rate_Hz)
        << quint32(rate_Hz * channels * 2) << quint16(channels * 2) << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
    for (float v : mono) {
        for (int c = 0; c < channels; ++c)
            out << static_cast<qint16>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
    }
    return out.status() == QDataStream::Ok && file.flush();
}

} // namespace synth
