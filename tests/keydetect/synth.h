#pragma once

#include <QString>
#include <vector>

// Test signals with known answers: sines and chord progressions with bass and harmonics.
namespace synth {

struct ChordStep {
    int rootOffset; // semitones above the key's tonic
    bool major;
};

// I–IV–V–I, i–iv–V–i and i–VI–III–VII.
std::vector<ChordStep> majorCadence();
std::vector<ChordStep> minorCadence();
std::vector<ChordStep> minorAeolianLoop();

std::vector<float> sine(double frequency_Hz, double seconds, double rate_Hz, float amplitude);
// The progression repeated for `seconds`, each chord `chordSeconds` long, in the key whose
// tonic is `tonic` (0 = C): a bass note two octaves down, the triad around middle C, and
// four harmonics per note with falling amplitude. Peak level below 1.
std::vector<float> progression(int tonic, const std::vector<ChordStep>& steps, double seconds, double rate_Hz,
                               double chordSeconds = 2.0);

// A 16-bit PCM WAV file with `channels` identical channels.
bool writeWav(const QString& path, const std::vector<float>& mono, int rate_Hz, int channels);

} // namespace synth
