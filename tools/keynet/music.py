"""Pop-style songs as note events: progressions, bass, accompaniment, melody, drums.

Everything here is pure and driven by a numpy Generator, so a seed fixes a song. The
progression and timbre pools are split: the held-out set draws only from pools that
training never sees.
"""

import numpy as np

# Chord symbols: semitone offset of the root from the tonic and a quality.
CHORDS = {
    "I": (0, "maj"), "Imaj7": (0, "maj7"), "ii": (2, "min"), "ii7": (2, "min7"),
    "iii": (4, "min"), "IV": (5, "maj"), "IVmaj7": (5, "maj7"), "V": (7, "maj"),
    "V7": (7, "dom7"), "vi": (9, "min"), "vi7": (9, "min7"), "viio": (11, "dim"),
    "V/V": (2, "dom7"), "V/vi": (4, "dom7"), "V/ii": (9, "dom7"), "V/IV": (0, "dom7"),
    "bVII": (10, "maj"), "iv": (5, "min"), "bVI": (8, "maj"), "bIII": (3, "maj"),
    "i": (0, "min"), "i7": (0, "min7"), "iio": (2, "dim"), "III": (3, "maj"),
    "iv7": (5, "min7"), "v": (7, "min"), "VI": (8, "maj"), "VImaj7": (8, "maj7"),
    "VII": (10, "maj"), "IVdor": (5, "maj"),
    "V/iii": (11, "dom7"), "V/iv": (0, "dom7"), "V/III": (10, "dom7"), "V/VI": (3, "dom7"),
}
QUALITIES = {
    "maj": (0, 4, 7), "min": (0, 3, 7), "dim": (0, 3, 6), "dom7": (0, 4, 7, 10),
    "maj7": (0, 4, 7, 11), "min7": (0, 3, 7, 10),
}

PROGRESSIONS = {
    ("train", "major"): [
        "I V vi IV", "I vi IV V", "I IV V I", "I IV vi V", "vi IV I V", "I V IV V",
        "IV V iii vi", "I iii IV V", "I vi ii V", "Imaj7 vi7 ii7 V7", "I V/V IV I",
        "I bVII IV I", "I IV iv I", "I V vi iii IV I IV V", "ii V I vi", "I V/vi vi IV",
        "IV I V vi", "I bVI bVII I", "I IVmaj7 I IVmaj7", "I V vi V/vi IV I ii V7",
    ],
    ("train", "minor"): [
        "i VI III VII", "i iv v i", "i VII VI V", "i iv VII III", "i VI iv V", "i iv V i",
        "i III VII iv", "i VII iv i", "VI VII i i", "i v VI III iv i iv V", "i iv VI V",
        "i7 iv7 VII III", "i VI III V7", "i IVdor i IVdor", "VImaj7 VII i i",
    ],
    ("heldout", "major"): [
        "I V vi iii IV I ii V", "IV V iii vi ii V I I", "I vi IV V/V V", "I ii IV V",
        "I IV bVII IV", "vi ii V I", "I V/ii ii V7",
    ],
    ("heldout", "minor"): [
        "i VI VII i", "iv V i VI", "i III iv V", "i VII VI VII", "i iio V i", "i v iv VII",
    ],
}

# General MIDI programs by role; the held-out pools share none with the training ones.
PROGRAMS = {
    "train": {
        "bass": [32, 33, 34, 35, 38, 39],
        "keys": [0, 1, 2, 4, 5, 16, 17, 19, 8, 10],
        "guitar": [24, 25, 26, 27, 28],
        "pad": [48, 49, 50, 52, 89, 90, 91, 92, 94],
        "lead": [73, 80, 81, 56, 65, 68, 71, 11, 12, 40, 52],
    },
    "heldout": {
        "bass": [36, 37],
        "keys": [3, 6, 7, 18],
        "guitar": [29, 30],
        "pad": [51, 88, 93, 95],
        "lead": [74, 66, 82, 60, 13, 41],
    },
}

# The chords that count as the tonic of a mode; the first is the plain triad.
TONIC_CHORDS = {"major": ("I", "Imaj7"), "minor": ("i", "i7")}

MAJOR_SCALE = (0, 2, 4, 5, 7, 9, 11)
MINOR_SCALE = (0, 2, 3, 5, 7, 8, 10)


class Note:
    __slots__ = ("start", "dur", "pitch", "vel", "part")

    def __init__(self, start, dur, pitch, vel, part):
        self.start, self.dur, self.pitch, self.vel, self.part = start, dur, pitch, vel, part


def chord_pitch_classes(tonic, symbol):
    root, quality = CHORDS[symbol]
    return [(tonic + root + i) % 12 for i in QUALITIES[quality]], (tonic + root) % 12


def _nearest(pc, around):
    base = around - ((around - pc) % 12)
    return base if around - base <= 6 else base + 12


def _voicing(pcs, rng, low, high):
    centre = rng.integers(low, high)
    notes = sorted({_nearest(pc, centre + rng.integers(-3, 4)) for pc in pcs})
    if rng.random() < 0.3:
        notes.append(notes[0] + 12)
    return notes


# Chords a free progression draws from, with their weights.
FREE_VOCABULARY = {
    "major": {"I": 4, "ii": 2, "iii": 1, "IV": 3, "V": 3, "vi": 3, "bVII": 1, "iv": 0.5, "V/V": 0.5,
              "V/vi": 0.5, "Imaj7": 1, "vi7": 1, "ii7": 1, "V7": 1, "IVmaj7": 0.5, "bVI": 0.3,
              "V/ii": 0.4, "V/IV": 0.3},
    "minor": {"i": 4, "iv": 2, "v": 1, "V": 2, "VI": 3, "III": 2, "VII": 3, "iio": 0.5, "i7": 1,
              "iv7": 1, "V7": 1, "IVdor": 0.5, "VImaj7": 0.5, "V/iv": 0.3, "V/III": 0.3},
}

# Harmonic functions (tonic, subdominant, dominant) for phrase-shaped progressions.
FUNCTIONS = {
    "major": {
        "T": {"I": 4, "Imaj7": 1, "vi": 2, "vi7": 1, "iii": 0.7},
        "S": {"IV": 3, "IVmaj7": 1, "ii": 2, "ii7": 1, "bVII": 0.7, "iv": 0.5, "bVI": 0.4, "V/V": 0.5},
        "D": {"V": 3, "V7": 2, "viio": 0.3, "V/vi": 0.4, "iii": 0.3},
    },
    "minor": {
        "T": {"i": 4, "i7": 1, "VI": 1.5, "III": 1.5},
        "S": {"iv": 3, "iv7": 1, "iio": 0.6, "VI": 1.5, "IVdor": 0.5, "VII": 1},
        "D": {"V": 2.5, "V7": 2, "v": 1.5, "VII": 1.5},
    },
}
NEXT_FUNCTION = {"T": {"T": 0.2, "S": 0.5, "D": 0.3}, "S": {"T": 0.15, "S": 0.25, "D": 0.6},
                 "D": {"T": 0.75, "S": 0.2, "D": 0.05}}
# Chords a vamp circles through besides its single tonic chord.
VAMP_CHORDS = {"major": ["IV", "V", "vi", "ii", "bVII", "iii", "bVI", "IVmaj7"],
               "minor": ["VII", "VI", "iv", "v", "III", "V", "iv7", "VImaj7"]}
VAMP_SHAPES = ["TXYX", "TXYZ", "TXYZ", "TTXY", "TXTY", "TXXY", "TX"]


# The dominant seventh that leads into a chord, for applied dominants in phrases.
APPLIED_DOMINANTS = {
    "major": {"ii": "V/ii", "ii7": "V/ii", "iii": "V/iii", "IV": "V/IV", "IVmaj7": "V/IV",
              "V": "V/V", "V7": "V/V", "vi": "V/vi", "vi7": "V/vi"},
    "minor": {"iv": "V/iv", "iv7": "V/iv", "III": "V/III", "VI": "V/VI", "VImaj7": "V/VI", "V": "V/V"},
}


def _weighted(rng, table):
    names = list(table)
    weights = np.array([table[n] for n in names], dtype=float)
    return str(rng.choice(names, p=weights / weights.sum()))


def _triad(symbol):
    """A chord as its root and triad, so that a seventh or a borrowed name does not make a
    different loop: "V7" and "V" are the same chord here."""
    root, quality = CHORDS[symbol]
    return f"{root}{ {'dom7': 'maj', 'maj7': 'maj', 'min7': 'min'}.get(quality, quality) }"


def _loop_forms(chords):
    """Every rotation of a progression reduced to its shortest repeating unit, so that a
    loop played from another chord, twice over or with sevenths added or dropped is
    recognised as the same loop."""
    chords = [_triad(c) for c in chords]
    n = len(chords)
    period = next(k for k in range(1, n + 1) if n % k == 0 and chords == chords[:k] * (n // k))
    unit = chords[:period]
    return {" ".join(unit[i:] + unit[:i]) for i in range(period)}


HELD_OUT_LOOPS = {mode: set().union(*(_loop_forms(p.split()) for p in PROGRESSIONS[("heldout", mode)]))
                  for mode in ("major", "minor")}


def _weighted_progression(rng, mode):
    names = list(FREE_VOCABULARY[mode])
    weights = np.array([FREE_VOCABULARY[mode][n] for n in names], dtype=float)
    chords = [str(c) for c in rng.choice(names, size=int(rng.choice([4, 8])), p=weights / weights.sum())]
    if rng.random() < 0.6:
        chords[0] = TONIC_CHORDS[mode][0]
    return chords


def _phrase_progression(rng, mode):
    """Tonic at the start, a walk through the functions, and mostly a cadence at the end."""
    table, tonic = FUNCTIONS[mode], TONIC_CHORDS[mode][0]
    length = int(rng.choice([4, 8]))
    chords = [tonic if rng.random() < 0.75 else _weighted(rng, table["T"])]
    function = "T"
    while len(chords) < length:
        function = _weighted(rng, NEXT_FUNCTION[function])
        chords.append(_weighted(rng, table[function]))
    ending = rng.random()
    if ending < 0.35:    # authentic cadence
        chords[-2:] = [_weighted(rng, table["D"]), tonic]
    elif ending < 0.55:  # plagal or modal cadence
        chords[-2:] = [_weighted(rng, table["S"]), tonic]
    elif ending < 0.8:   # half cadence: the loop resolves into its first chord
        chords[-1] = _weighted(rng, table["D"])
    return _applied_dominants(rng, chords, mode)


def _applied_dominants(rng, chords, mode):
    """Now and then the chord before a diatonic chord becomes that chord's own dominant
    seventh (A7 before Dm in C), as pop turnarounds do. The opening chord and the cadence
    stay as they are."""
    applied = APPLIED_DOMINANTS[mode]
    out = list(chords)
    for k in range(1, len(chords) - 2):
        target = chords[k + 1]
        if target in applied and out[k] not in TONIC_CHORDS[mode] and rng.random() < 0.2:
            out[k] = applied[target]
    return out


def _vamp_progression(rng, mode):
    """A short loop that holds its tonic chord once or twice among other chords, as modal
    and aeolian vamps do, so the tonic is not simply the most frequent chord."""
    tonic = TONIC_CHORDS[mode][0]
    others = [str(c) for c in rng.choice(VAMP_CHORDS[mode], size=3, replace=False)]
    pick = {"T": tonic, "X": others[0], "Y": others[1], "Z": others[2]}
    return [pick[c] for c in VAMP_SHAPES[rng.integers(len(VAMP_SHAPES))]]


# Keys whose loops a song may borrow, as (mode, tonic in semitones above the song's): the
# chords of a loop often fit more than one key (Am F C G is A minor and C major, C F Bb F is
# C mixolydian and F major), and then only the melody says where home is.
READINGS = {
    "major": [("minor", 9), ("major", 5), ("major", 7)],
    "minor": [("major", 3), ("major", 10), ("minor", 7), ("minor", 5)],
}
_SYMBOLS = {}
for _name, _chord in CHORDS.items():
    _SYMBOLS.setdefault(_chord, _name)
# A chord with no symbol of its own is named by its nearest kin: A major in C is V/ii.
_KIN = {"maj": "dom7", "dom7": "maj", "maj7": "maj", "min7": "min"}


def reinterpret(chords, shift):
    """The chords of a loop written for a key `shift` semitones above the song's tonic,
    named from the song's tonic; None if one of them has no name here."""
    out = []
    for symbol in chords:
        root, quality = CHORDS[symbol]
        root = (root + shift) % 12
        name = _SYMBOLS.get((root, quality)) or _SYMBOLS.get((root, _KIN.get(quality)))
        if name is None:
            return None
        out.append(name)
    return out


def _drawn_progression(rng, mode):
    family = rng.random()
    if family < 0.3:
        return _weighted_progression(rng, mode)
    if family < 0.7:
        return _phrase_progression(rng, mode)
    return _vamp_progression(rng, mode)


# How often a free song tries to borrow its loop (render.py --borrowed-chance). At 0.5 many
# borrowed loops lack the song's tonic chord and are drawn again, and about a quarter of free
# songs end up borrowed; that share made held-out accuracy worse, so songs borrow none unless
# asked. At 0 no draw is spent on it, so free songs are exactly what they were without it.
BORROWED_CHANCE = 0.0


def free_progression(rng, mode):
    """A random progression that holds the tonic chord and is none of the held-out loops
    (in no rotation or repetition): drawn by weight, shaped as a phrase with a cadence, a
    vamp around a rarely heard tonic, or borrowed from a key whose chords it shares.
    Returns the chords and whether they were borrowed: a borrowed loop's tonic is named
    only by its melody, so such a song always has one that lands on the tonic."""
    tonic_chords = TONIC_CHORDS[mode]
    while True:
        borrowed = BORROWED_CHANCE > 0 and rng.random() < BORROWED_CHANCE
        if borrowed:
            reading, shift = READINGS[mode][rng.integers(len(READINGS[mode]))]
            chords = reinterpret(_drawn_progression(rng, reading), shift)
        else:
            chords = _drawn_progression(rng, mode)
        if chords and any(c in tonic_chords for c in chords) and not (_loop_forms(chords) & HELD_OUT_LOOPS[mode]):
            return chords, borrowed


def compose(rng, split, mode, tonic, seconds, free=False):
    """Note events of one song in the given key, starting at 0 s. A free song draws a
    random progression instead of one of the listed ones."""
    phrasing = side_stream(rng)
    borrowed = False
    if free:
        progression, borrowed = free_progression(rng, mode)
    else:
        progression = PROGRESSIONS[(split, mode)][rng.integers(len(PROGRESSIONS[(split, mode)]))].split()
    bpm = rng.uniform(68, 150)
    beat = 60.0 / bpm
    chords_per_bar = 2 if rng.random() < 0.25 else 1
    chord_len = 4 * beat / chords_per_bar
    offset = rng.integers(len(progression)) if rng.random() < 0.4 else 0
    scale = MAJOR_SCALE if mode == "major" else MINOR_SCALE
    notes = []
    accomp_style = rng.choice(["block", "arpeggio", "strum", "offbeat", "pad"])
    bass_style = rng.choice(["root", "root5", "octave", "walk", "none"], p=[0.3, 0.25, 0.2, 0.15, 0.1])
    has_melody = rng.random() < 0.8 or borrowed
    has_pad = rng.random() < 0.4
    drum_style = rng.choice(["rock", "four", "half", "none"], p=[0.35, 0.2, 0.15, 0.3])
    vel = {p: int(rng.integers(55, 115)) for p in ("bass", "accomp", "lead", "pad", "drums")}
    melody_pitch = int(rng.integers(62, 74))
    # Free songs also vary how a real arrangement points at its tonic; the listed songs keep
    # their exact draws, so the held-out set changes only where phrasing lands on the tonic.
    cues = _tonic_cues(rng) if free else None
    tonic_chords = TONIC_CHORDS[mode]
    played = []  # (start, length, position in the loop) of every chord
    t, i = 0.0, offset
    while t < seconds:
        symbol = progression[i % len(progression)]
        pcs, root = chord_pitch_classes(tonic, symbol)
        length = chord_len
        at_phrase_edge = i % len(progression) in (0, len(progression) - 1)
        if cues and cues["hold_tonic"] and symbol in tonic_chords and at_phrase_edge:
            length = 2 * chord_len
        voicing = _voicing(pcs, rng, 52, 66)
        bass = 36 + (root - 36) % 12 + (12 if rng.random() < 0.2 else 0)
        if rng.random() < 0.12:  # inversion in the bass
            bass = 36 + (pcs[1] - 36) % 12
        if cues and cues["pedal"]:
            bass = 36 + (tonic - 36) % 12
        _bass(notes, bass_style, bass, pcs, t, length, beat, vel["bass"], rng)
        _accompaniment(notes, accomp_style, voicing, t, length, beat, vel["accomp"], rng)
        if has_pad:
            for p in _voicing(pcs, rng, 55, 70):
                notes.append(Note(t, length * 0.98, p, vel["pad"], "pad"))
        if has_melody:
            melody_pitch = _melody(notes, melody_pitch, pcs, scale, tonic, symbol, t, length, beat,
                                   vel["lead"], rng, mode, cues)
        _drums(notes, drum_style, t, length, beat, vel["drums"], rng)
        played.append((t, length, i % len(progression)))
        t += length
        i += 1
    for n in notes:  # human timing
        n.start = max(0.0, n.start + rng.normal(0, 0.008))
        n.vel = int(np.clip(n.vel + rng.normal(0, 8), 20, 127))
    if phrasing.random() < LANDING_CHANCE or borrowed:
        notes = land_on_tonic(notes, played, progression, mode, tonic, beat, phrasing)
    return [n for n in notes if n.start < seconds]


# How many songs end their melodic phrases on the tonic.
LANDING_CHANCE = 0.6


def side_stream(rng):
    """A second generator seeded from rng's present state without advancing it. Phrasing
    draws from it, so every draw of rng, and with it each seed's progression, timbres and
    effects, stays what it was before phrasing existed."""
    state = rng.bit_generator.state["state"]
    return np.random.default_rng([state["state"] % (1 << 64), state["inc"] % (1 << 64), 0x1A4D])


def land_on_tonic(notes, played, progression, mode, tonic, beat, rng):
    """Wherever the harmony arrives at the tonic chord, the melody lands on the tonic and
    holds it for two to four beats: the phrase ending that tells a listener where home is,
    which the chords of a loop alone often do not (vi ii V I is also i iv VII III)."""
    lead = sorted((n for n in notes if n.part == "lead"), key=lambda n: n.start)
    if not lead:
        return notes
    tonic_chords = TONIC_CHORDS[mode]
    count = len(progression)
    keep = [n for n in notes if n.part != "lead"]
    slack = 0.05  # seconds: human timing moves notes by a few milliseconds
    landings = []
    for start, length, position in played:
        if progression[position] not in tonic_chords or progression[(position - 1) % count] in tonic_chords:
            continue
        hold = min(length, beat * float(rng.choice([2.0, 3.0, 4.0])))
        before = [n for n in lead if n.start < start - slack]
        around = before[-1].pitch if before else lead[0].pitch
        pitch = _nearest(tonic, around)
        pitch += 12 if pitch < 57 else (-12 if pitch > 81 else 0)
        vel = before[-1].vel if before else lead[0].vel
        landings.append((start, hold))
        keep.append(Note(max(0.0, start + rng.normal(0, 0.008)), hold * 0.95, pitch, vel, "lead"))
    # Melody notes under a held landing give way to it; one sounding into it stops there.
    for n in lead:
        if any(s - slack <= n.start < s + h - slack for s, h in landings):
            continue
        for s, _ in landings:
            if n.start < s - slack < n.start + n.dur:
                n.dur = s - slack - n.start
        keep.append(n)
    return keep


def _tonic_cues(rng):
    """How strongly a free song's melody leans on the tonic, whether it follows borrowed
    chords' notes, holds a tonic pedal in the bass, or lets the tonic chord last longer."""
    return {"pull": float(rng.uniform(0.0, 3.0)), "chord_scale": bool(rng.random() < 0.5),
            "pedal": bool(rng.random() < 0.08), "hold_tonic": bool(rng.random() < 0.25)}


def _chord_scale(allowed, pcs):
    """The key's scale with each chord tone outside it put in place of its neighbours."""
    out = set(allowed)
    for pc in pcs:
        if pc not in out:
            out -= {(pc + 1) % 12, (pc - 1) % 12}
            out.add(pc)
    return sorted(out)


def _bass(notes, style, bass, pcs, t, length, beat, vel, rng):
    if style == "none":
        return
    fifth = bass + 7 if bass + 7 <= 52 else bass - 5
    steps = max(1, int(round(length / beat)))
    for s in range(steps):
        start = t + s * beat
        if style == "root":
            if s % 2 == 0:
                notes.append(Note(start, beat * 1.9, bass, vel, "bass"))
        elif style == "root5":
            notes.append(Note(start, beat * 0.9, bass if s % 2 == 0 else fifth, vel, "bass"))
        elif style == "octave":
            for h in range(2):
                notes.append(Note(start + h * beat / 2, beat * 0.45, bass + 12 * h, vel, "bass"))
        else:
            tone = [bass, bass + (pcs[1] - pcs[0]) % 12, fifth, bass + 12][s % 4]
            notes.append(Note(start, beat * 0.9, tone, vel, "bass"))


def _accompaniment(notes, style, voicing, t, length, beat, vel, rng):
    steps = max(1, int(round(length / beat)))
    if style == "pad":
        for p in voicing:
            notes.append(Note(t, length * 0.97, p, vel, "accomp"))
    elif style == "block":
        for s in range(steps):
            for p in voicing:
                notes.append(Note(t + s * beat, beat * 0.85, p, vel - (0 if s == 0 else 10), "accomp"))
    elif style == "arpeggio":
        order = voicing + voicing[-2:0:-1] if rng.random() < 0.5 else voicing + [voicing[0] + 12]
        for e in range(steps * 2):
            notes.append(Note(t + e * beat / 2, beat * 0.9, order[e % len(order)], vel, "accomp"))
    elif style == "strum":
        pattern = [0, 1, 1.5, 2.5, 3, 3.5]
        for b in pattern:
            if b * beat >= length:
                continue
            for j, p in enumerate(voicing):
                notes.append(Note(t + b * beat + j * 0.012, beat * 0.45, p, vel, "accomp"))
    else:
        for s in range(steps):
            for p in voicing:
                notes.append(Note(t + (s + 0.5) * beat, beat * 0.4, p, vel, "accomp"))


def _melody(notes, pitch, pcs, scale, tonic, symbol, t, length, beat, vel, rng, mode, cues=None):
    allowed = [(tonic + d) % 12 for d in scale]
    if mode == "minor" and CHORDS[symbol][0] == 7 and CHORDS[symbol][1] in ("maj", "dom7"):
        allowed = [(pc + 1) % 12 if pc == (tonic + 10) % 12 else pc for pc in allowed]
    if cues and cues["chord_scale"]:
        allowed = _chord_scale(allowed, pcs)
    pos = 0.0
    while pos < length - 1e-6:
        dur = beat * rng.choice([0.5, 1.0, 1.0, 1.5, 2.0])
        if rng.random() < 0.15:
            pos += dur
            continue
        strong = abs(pos / beat - round(pos / beat)) < 1e-6 and round(pos / beat) % 2 == 0
        pool = pcs if strong else allowed
        candidates = [p for p in range(pitch - 5, pitch + 6) if p % 12 in pool and 57 <= p <= 81]
        if candidates:
            weights = np.array([1.0 / (1 + abs(p - pitch)) for p in candidates])
            if cues and strong:
                weights *= [1.0 + cues["pull"] * (p % 12 == tonic) for p in candidates]
            pitch = int(rng.choice(candidates, p=weights / weights.sum()))
        notes.append(Note(t + pos, min(dur, length - pos) * 0.95, pitch, vel, "lead"))
        pos += dur
    return pitch


def _drums(notes, style, t, length, beat, vel, rng):
    if style == "none":
        return
    steps = max(1, int(round(length / beat)))
    for s in range(steps):
        start = t + s * beat
        if style == "four" or (style == "rock" and s % 2 == 0) or (style == "half" and s % 4 == 0):
            notes.append(Note(start, 0.1, 36, vel, "drums"))
        if (style in ("rock", "four") and s % 2 == 1) or (style == "half" and s % 4 == 2):
            notes.append(Note(start, 0.1, 38, vel, "drums"))
        for h in range(2):
            notes.append(Note(start + h * beat / 2, 0.05, 42 if rng.random() < 0.9 else 46, vel - 20, "drums"))
    if rng.random() < 0.15:
        notes.append(Note(t, 0.5, 49, vel, "drums"))
