"""Checks of the song generator that keep the held-out set honest: free training
progressions never repeat a held-out loop, every free progression holds its tonic, loops
borrowed from another key are named from the song's tonic, and melodic phrases land on the
tonic without changing any other draw of a seed; intros, late modulations and level rides
leave every other draw of a song as it was."""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import music  # noqa: E402
import render  # noqa: E402


def main():
    failures = []
    if music._loop_forms("IV bVII IV I IV bVII IV I".split()) != music._loop_forms("I IV bVII IV".split()):
        failures.append("a rotated, repeated loop is not recognised as the same loop")
    if not music._loop_forms("V/ii ii V I".split()) & music.HELD_OUT_LOOPS["major"]:
        failures.append("a held-out loop without its seventh is not recognised as the same loop")
    rng = np.random.default_rng(5)
    applied = set()
    music.BORROWED_CHANCE = 0.5
    for mode in ("major", "minor"):
        tonics = music.TONIC_CHORDS[mode]
        borrowed = 0
        for _ in range(3000):
            chords, b = music.free_progression(rng, mode)
            borrowed += b
            if music._loop_forms(chords) & music.HELD_OUT_LOOPS[mode]:
                failures.append(f"held-out loop drawn for training: {' '.join(chords)}")
            if not any(c in tonics for c in chords):
                failures.append(f"no tonic chord: {' '.join(chords)}")
            applied |= set(chords) & set(music.APPLIED_DOMINANTS[mode].values())
        if not 300 < borrowed < 1500:
            failures.append(f"{borrowed} of 3000 free {mode} loops borrowed")
    if applied != set().union(*(m.values() for m in music.APPLIED_DOMINANTS.values())):
        failures.append(f"applied dominants never drawn: only {sorted(applied)}")
    # Song events are a function of the seed alone.
    a = music.compose(np.random.default_rng(3), "train", "minor", 9, 31.5, True)
    b = music.compose(np.random.default_rng(3), "train", "minor", 9, 31.5, True)
    if [(n.start, n.pitch) for n in a] != [(n.start, n.pitch) for n in b] or not a:
        failures.append("composing the same seed twice gave different songs")
    failures += check_borrowing()
    music.BORROWED_CHANCE = 0.0
    if any(music.free_progression(rng, "major")[1] for _ in range(300)):
        failures.append("a loop borrowed although songs borrow none")
    failures += check_phrasing()
    failures += check_variety()
    for f in failures[:20]:
        print(f)
    return 1 if failures else 0


def check_borrowing():
    failures = []
    cases = [("i VI III VII", 9, "vi IV I V"), ("I IV V I", 5, "IV bVII I IV"),
             ("I V/V IV I", 7, "V V/ii I V"), ("i VI III VII", 5, None)]
    for chords, shift, expected in cases:
        got = music.reinterpret(chords.split(), shift)
        if (got and " ".join(got)) != expected:
            failures.append(f"{chords} read {shift} semitones up: {got}, not {expected}")
    # A borrowed song's melody always lands on the tonic, whatever the share of landings.
    checked = 0
    for seed in range(200):
        mode = ("major", "minor")[seed % 2]
        if not music.free_progression(np.random.default_rng(seed), mode)[1]:
            continue
        songs = []
        for chance in (0.0, 1.0):
            music.LANDING_CHANCE = chance
            songs.append([(n.start, n.dur, n.pitch, n.part) for n in
                          music.compose(np.random.default_rng(seed), "train", mode, 2, 31.5, True)])
        music.LANDING_CHANCE = 0.6
        if songs[0] != songs[1] or not any(n[3] == "lead" for n in songs[0]):
            failures.append(f"borrowed song {seed} has no melody or lands only by chance")
        checked += 1
    if checked < 10:
        failures.append(f"only {checked} borrowed songs among 200 seeds")
    return failures


def check_phrasing():
    failures = []
    main_stream = np.random.default_rng(11)
    side = music.side_stream(main_stream)
    if main_stream.random() != np.random.default_rng(11).random():
        failures.append("the phrasing stream advanced the song's own generator")
    if side.random() != music.side_stream(np.random.default_rng(11)).random():
        failures.append("the phrasing stream is not a function of the seed")

    # Two passes of "vi ii V I" in C from its second chord, 2 s a chord, a melody note on
    # every beat and one long note sounding into the first arrival on I.
    beat, progression = 0.5, "vi ii V I".split()
    played = [(2.0 * k, 2.0, (k + 1) % 4) for k in range(8)]
    notes = [music.Note(0.5 * b, 0.45, 64, 90, "lead") for b in range(32) if b != 7]
    notes += [music.Note(3.4, 1.4, 65, 90, "lead")] + [music.Note(2.0 * k, 1.9, 36, 80, "bass") for k in range(8)]
    out = music.land_on_tonic(notes, played, progression, "major", 0, beat, np.random.default_rng(1))
    arrivals = [4.0, 12.0]
    lead = sorted((n for n in out if n.part == "lead"), key=lambda n: n.start)
    for s in arrivals:
        landing = [n for n in lead if abs(n.start - s) < 0.04]
        if len(landing) != 1 or landing[0].pitch % 12 != 0 or landing[0].dur < 2 * beat * 0.95 - 1e-9:
            failures.append(f"no held tonic at the arrival on I at {s} s: {[(n.pitch, n.dur) for n in landing]}")
            continue
        end = landing[0].start + landing[0].dur
        if any(n is not landing[0] and n.start < end and n.start + n.dur > landing[0].start + 0.04 for n in lead):
            failures.append(f"melody notes sound over the landing at {s} s")
    if [n.start for n in out if n.part == "bass"] != [2.0 * k for k in range(8)]:
        failures.append("landing changed a part other than the melody")
    if not any(n.start == 0.0 and n.pitch == 64 for n in lead):
        failures.append("melody away from the arrivals was lost")

    # A tonic chord held over two chords is one arrival, not two.
    played = [(2.0 * k, 2.0, k) for k in range(8)]
    notes = [music.Note(0.5 * b, 0.45, 67, 90, "lead") for b in range(32)]
    out = music.land_on_tonic(notes, played, "IV V iii vi ii V I I".split(), "major", 0, beat,
                              np.random.default_rng(2))
    if sorted(round(n.start) for n in out if n.part == "lead" and n.dur > 0.9) != [12]:
        failures.append("a landing other than the one arrival on I")
    if music.land_on_tonic([], played, ["I"], "major", 0, beat, np.random.default_rng(3)) != []:
        failures.append("a song without melody gained one")
    return failures


def check_variety():
    failures = []
    intros = modulated = 0
    for index in range(12480, 12560):
        render.VARIETY = False
        plain = render.song_plan("train", index)
        render.VARIETY = True
        varied = render.song_plan("train", index)
        render.VARIETY = False
        if any(plain[k] != varied[k] for k in ("label", "programs", "levels", "effects")):
            failures.append(f"song {index}: variety changed another draw")
        before = {(n.start, n.part): n.pitch for n in plain["notes"]}
        after = {(n.start, n.part): n.pitch for n in varied["notes"]}
        if not after.keys() <= before.keys():
            failures.append(f"song {index}: variety added notes")
        lost = {part for (_, part) in before.keys() - after.keys()}
        intros += bool(lost)
        if lost & {"drums"} or len(lost & {"pad", "accomp"}) > 1:
            failures.append(f"song {index}: the intro silenced {sorted(lost)}")
        moved = [after[k] - before[k] for k in after if after[k] != before[k]]
        modulated += bool(moved)
        if any(m not in (1, 2) for m in moved) or len(set(moved)) > 1:
            failures.append(f"song {index}: modulated by {sorted(set(moved))}")
    if not (10 < intros < 40 and 3 < modulated < 25):
        failures.append(f"{intros} intros and {modulated} modulations among 80 songs")
    return failures


if __name__ == "__main__":
    sys.exit(main())
