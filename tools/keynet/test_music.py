"""Checks of the song generator that keep the held-out set honest: free training
progressions never repeat a held-out loop, and every free progression holds its tonic."""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import music  # noqa: E402


def main():
    failures = []
    if music._loop_forms("IV bVII IV I IV bVII IV I".split()) != music._loop_forms("I IV bVII IV".split()):
        failures.append("a rotated, repeated loop is not recognised as the same loop")
    if not music._loop_forms("V/ii ii V I".split()) & music.HELD_OUT_LOOPS["major"]:
        failures.append("a held-out loop without its seventh is not recognised as the same loop")
    rng = np.random.default_rng(5)
    applied = set()
    for mode in ("major", "minor"):
        tonics = music.TONIC_CHORDS[mode]
        for _ in range(3000):
            chords = music.free_progression(rng, mode)
            if music._loop_forms(chords) & music.HELD_OUT_LOOPS[mode]:
                failures.append(f"held-out loop drawn for training: {' '.join(chords)}")
            if not any(c in tonics for c in chords):
                failures.append(f"no tonic chord: {' '.join(chords)}")
            applied |= set(chords) & set(music.APPLIED_DOMINANTS[mode].values())
    if applied != set().union(*(m.values() for m in music.APPLIED_DOMINANTS.values())):
        failures.append(f"applied dominants never drawn: only {sorted(applied)}")
    # Song events are a function of the seed alone.
    a = music.compose(np.random.default_rng(3), "train", "minor", 9, 31.5, True)
    b = music.compose(np.random.default_rng(3), "train", "minor", 9, 31.5, True)
    if [(n.start, n.pitch) for n in a] != [(n.start, n.pitch) for n in b] or not a:
        failures.append("composing the same seed twice gave different songs")
    for f in failures[:20]:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
