"""Renders generated songs to audio (FluidSynth with the GM soundfont, plus additive
synthesis), adds tuning offsets, level changes, reverb and noise, and turns each song
into the detector's 72 x 320 features. Features are cached under the build folder.

    /usr/bin/python3 tools/keynet/render.py --split train --count 1920 --out build/keynet
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import features  # noqa: E402
import midi  # noqa: E402
import music  # noqa: E402

SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
RATE22 = 22050
SONG_SECONDS = 31.5  # covers 30 s even after a +40 cent speed-up
DEFAULT_SONG_SECONDS = SONG_SECONDS
ARRANGEMENT = "band"  # or "piano": every part on one piano, no drums
SLOT_SECONDS = 34.0  # song plus silence for release tails
BATCH = 12
SEED_BASE = {"train": 1_000_000, "heldout": 9_000_000}
# With --variety, songs also get what a loop-back capture of real songs has and the lists do
# not: an intro without melody or bass, a modulation near the end, the level riding up and
# down. Drawn from their own stream, so every other draw of a seed stays as it was.
VARIETY = False
LEAD_DB = 0.0
VARIETY_SEED = 77_000_000
# Training songs from this index on are "free": random progressions, random harmonic
# spectra for the additive parts and more distortion, for variety beyond the lists.
FREE_FROM = 1920
CHANNELS = {"bass": 0, "accomp": 1, "lead": 2, "pad": 3, "drums": 9}


def song_plan(split, index):
    rng = np.random.default_rng(SEED_BASE[split] + index)
    label = index % 24
    tonic, mode = label % 12, ("major" if label < 12 else "minor")
    free = split == "train" and index >= FREE_FROM
    notes = music.compose(rng, split, mode, tonic, SONG_SECONDS, free)
    pools = music.PROGRAMS[split]
    programs = {
        "bass": int(rng.choice(pools["bass"])),
        "accomp": int(rng.choice(pools[rng.choice(["keys", "guitar", "pad"])])),
        "lead": int(rng.choice(pools[rng.choice(["lead", "keys"])])),
        "pad": int(rng.choice(pools["pad"])),
    }
    all_additive = rng.random() < 0.15
    additive = {p: all_additive or rng.random() < 0.25 for p in ("bass", "accomp", "lead", "pad")}
    levels = {p: float(rng.uniform(0.35, 1.0)) for p in CHANNELS}
    if LEAD_DB:
        # The melody that far above the rest, as a mix that puts the singer's line in front.
        levels = {p: v if p == "lead" else v * 10 ** (-LEAD_DB / 20) for p, v in levels.items()}
    effects = {
        "cents": float(rng.uniform(-40, 40)),
        "gain_db": float(rng.uniform(-24, 0)),
        "reverb": float(rng.uniform(0.05, 0.45)) if rng.random() < 0.6 else 0.0,
        "rt60": float(rng.uniform(0.3, 2.0)),
        "snr_db": float(rng.uniform(12, 40)) if rng.random() < 0.5 else None,
        "drive": float(rng.uniform(1.5, 4.0)) if rng.random() < (0.3 if free else 0.15) else None,
    }
    variety = song_variety(split, index, notes) if VARIETY else None
    if variety:
        notes = variety.pop("notes")
    if ARRANGEMENT == "piano":
        # One acoustic piano plays every part, as a piano cover does: no drums, no synthesis.
        notes = [n for n in notes if n.part != "drums"]
        programs = {part: 0 for part in programs}
        additive = {part: False for part in additive}
    return {"rng": rng, "label": label, "notes": notes, "programs": programs,
            "additive": additive, "levels": levels, "effects": effects, "split": split, "free": free,
            "variety": variety}


def song_variety(split, index, notes):
    """An intro of 2-8 s where only drums and a pad or chords play (30 % of songs), the last
    3-6 s a semitone or two up (15 %, the label stays the song's key), and a gain ride of
    up to +-9 dB with an occasional fade, as a player's volume and a capture's level do."""
    rng = np.random.default_rng(VARIETY_SEED + SEED_BASE[split] + index)
    if rng.random() < 0.3:
        intro = float(rng.uniform(2.0, 8.0))
        kept = {"drums", str(rng.choice(["pad", "accomp"]))}
        notes = [n for n in notes if n.start >= intro or n.part in kept]
    if rng.random() < 0.15:
        change = SONG_SECONDS - float(rng.uniform(3.0, 6.0))
        shift = int(rng.choice([1, 2]))
        notes = [music.Note(n.start, n.dur, n.pitch + shift, n.vel, n.part)
                 if n.start >= change and n.part != "drums" else n for n in notes]
    points = int(rng.integers(2, 6))
    ride = {"times": np.sort(rng.uniform(0, SONG_SECONDS, points)),
            "db": rng.uniform(-9.0, 9.0, points) * (rng.random() < 0.7)}
    if rng.random() < 0.2:
        ride["fade"] = float(rng.uniform(1.0, 6.0))
    return {"notes": notes, "ride": ride}


def gain_ride(y, ride):
    t = np.arange(len(y), dtype=np.float32) / RATE22
    gain = 10 ** (np.interp(t, ride["times"], ride["db"]) / 20)
    if "fade" in ride:
        gain *= np.clip(t / ride["fade"], 0.0, 1.0)
    return (y * gain).astype(np.float32)


def midi_events(plans):
    events = []
    for slot, plan in enumerate(plans):
        t0 = slot * SLOT_SECONDS
        for part, channel in CHANNELS.items():
            if part != "drums":
                events.append((t0, 0xC0 | channel, plan["programs"][part], 0))
            events.append((t0, 0xB0 | channel, 7, int(plan["levels"][part] * 110)))
        for n in plan["notes"]:
            if n.part != "drums" and plan["additive"][n.part]:
                continue
            ch = CHANNELS[n.part]
            events.append((t0 + n.start, 0x90 | ch, n.pitch, n.vel))
            events.append((t0 + n.start + n.dur, 0x80 | ch, n.pitch, 0))
        for ch in CHANNELS.values():
            events.append((t0 + SONG_SECONDS + 0.01, 0xB0 | ch, 123, 0))
    return events


def render_fluidsynth(plans, workdir, soundfont):
    mid = os.path.join(workdir, "batch.mid")
    raw = os.path.join(workdir, "batch.raw")
    midi.write_midi(mid, midi_events(plans))
    # Dynamic sample loading spares decoding a compressed (sf3) font whole for every batch.
    subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-g", "0.4", "-r", str(RATE22),
                    "-o", "synth.dynamic-sample-loading=1",
                    "-T", "raw", "-O", "float", "-E", "little", "-F", raw, soundfont, mid],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stereo = np.fromfile(raw, dtype="<f4").reshape(-1, 2)
    return stereo.mean(axis=1)


def additive_part(plan, part, length):
    """Harmonic tones at 22050 Hz; harmonics stay below Nyquist, so no aliasing."""
    rng = plan["rng"]
    out = np.zeros(length, np.float32)
    if plan["split"] == "train":
        tilt, odd_only, harmonics = rng.uniform(0.7, 2.2), False, int(rng.integers(3, 12))
    else:
        tilt, odd_only, harmonics = rng.uniform(0.9, 1.6), True, int(rng.integers(5, 14))
    # Free songs: every harmonic its own random weight, sometimes with weak even ones.
    spectrum = rng.uniform(0.1, 1.0, 16) if plan["free"] else np.ones(16)
    if plan["free"] and rng.random() < 0.3:
        spectrum[1::2] *= rng.uniform(0.0, 0.3)
    attack, release = rng.uniform(0.003, 0.06), rng.uniform(0.05, 0.3)
    decay, sustain = rng.uniform(0.1, 0.8), rng.uniform(0.2, 0.9)
    level = plan["levels"][part] * 0.15
    for n in plan["notes"]:
        if n.part != part:
            continue
        start = int(n.start * RATE22)
        count = min(int((n.dur + release) * RATE22), length - start)
        if count <= 0:
            continue
        t = np.arange(count, dtype=np.float32) / RATE22
        f0 = 440.0 * 2 ** ((n.pitch - 69) / 12)
        tone = np.zeros(count, np.float32)
        for h in range(1, harmonics + 1):
            if odd_only and h % 2 == 0:
                continue
            if f0 * h >= RATE22 / 2 * 0.95:
                break
            weight = spectrum[h - 1] / h ** tilt
            tone += weight * np.sin(2 * np.pi * f0 * h * t + rng.uniform(0, 6.3)).astype(np.float32)
        env = np.minimum(t / attack, 1.0) * (sustain + (1 - sustain) * np.exp(-t / decay))
        env *= np.clip((n.dur + release - t) / release, 0.0, 1.0)
        out[start:start + count] += tone * env * (n.vel / 127.0) * level
    return out


def apply_effects(y, plan, length=features.WINDOW):
    rng, fx = plan["rng"], plan["effects"]
    ratio = 2 ** (fx["cents"] / 1200)  # playing faster raises the pitch
    positions = np.arange(length) * ratio
    y = np.interp(positions, np.arange(len(y)), y).astype(np.float32)
    if fx["reverb"] > 0:
        n = int(fx["rt60"] * RATE22)
        ir = rng.standard_normal(n).astype(np.float32) * np.exp(-6.9 * np.arange(n) / n).astype(np.float32)
        ir /= np.sqrt(np.sum(ir ** 2)) + 1e-9
        size = 1 << int(np.ceil(np.log2(len(y) + n)))
        wet = np.fft.irfft(np.fft.rfft(y, size) * np.fft.rfft(ir, size), size)[:len(y)]
        y = (1 - fx["reverb"]) * y + fx["reverb"] * wet.astype(np.float32)
    if fx["drive"]:
        peak = np.max(np.abs(y)) + 1e-9
        y = np.tanh(fx["drive"] * y / peak) * peak
    if fx["snr_db"] is not None:
        noise = rng.standard_normal(len(y)).astype(np.float32)
        if rng.random() < 0.5:  # pink-ish: one-pole low-pass of white noise
            noise = np.fft.irfft(np.fft.rfft(noise) / np.sqrt(np.arange(len(y) // 2 + 1) + 1.0), len(y))
        rms = np.sqrt(np.mean(y ** 2)) + 1e-9
        noise *= rms / (np.sqrt(np.mean(noise ** 2)) + 1e-9) * 10 ** (-fx["snr_db"] / 20)
        y = y + noise.astype(np.float32)
    return (y * 10 ** (fx["gain_db"] / 20)).astype(np.float32)


def write_wav(path, y):
    """16-bit mono WAV at 22050 Hz, for running the program's own test bench on a song."""
    import wave
    pcm = (np.clip(y, -1.0, 1.0) * 32767.0).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(int(RATE22))
        w.writeframes(pcm.tobytes())


def render_batch(plans, basis, wav_dir=None, first=0, soundfont=SOUNDFONT):
    with tempfile.TemporaryDirectory() as workdir:
        mix22 = render_fluidsynth(plans, workdir, soundfont)
    slot = int(SLOT_SECONDS * RATE22)
    song22 = int(SONG_SECONDS * RATE22)
    out = []
    for i, plan in enumerate(plans):
        # Rendered straight at the detector's 22050 Hz: FluidSynth band-limits its voices.
        y = mix22[i * slot: i * slot + song22].astype(np.float32)
        y = np.pad(y, (0, song22 - len(y)))
        for part in ("bass", "accomp", "lead", "pad"):
            if plan["additive"][part]:
                y += additive_part(plan, part, song22)
        # Longer songs keep all they have after the largest speed-up; the features take the
        # first window either way (the default length draws the same noise as before).
        length = max(features.WINDOW, int(song22 / 2 ** (40 / 1200)))
        if plan["variety"]:
            y = gain_ride(y, plan["variety"]["ride"])
        y = apply_effects(y, plan, length if SONG_SECONDS != DEFAULT_SONG_SECONDS else features.WINDOW)
        if wav_dir:
            write_wav(os.path.join(wav_dir, f"{first + i:04d}_{plan['label']:02d}.wav"), y)
        out.append(features.cqt_features(y[:features.WINDOW], basis))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--split", choices=["train", "heldout"], required=True)
    parser.add_argument("--first", type=int, default=0, help="index of the first song")
    parser.add_argument("--count", type=int, required=True, help="one past the last song's index")
    parser.add_argument("--name", help="output name (default: the split)")
    parser.add_argument("--out", required=True)
    parser.add_argument("--basis", default="build/default/resources/keynet_v5_cqt_basis.f32")
    parser.add_argument("--wav", help="also write every song as NNNN_LABEL.wav into this folder")
    parser.add_argument("--soundfont", nargs="+", default=[SOUNDFONT],
                        help="General MIDI soundfonts, taken in turn batch by batch")
    parser.add_argument("--lead-db", type=float, default=0.0,
                        help="the melody this many dB above the other parts (they are turned down)")
    parser.add_argument("--variety", action="store_true",
                        help="intros, late modulations and level rides (see song_variety)")
    parser.add_argument("--song-seconds", type=float, default=SONG_SECONDS,
                        help="longer songs for scoring the program on a whole 45 s listening window")
    parser.add_argument("--arrangement", choices=["band", "piano"], default=ARRANGEMENT,
                        help="piano: the same songs as piano covers, for scoring apart from the band")
    parser.add_argument("--landing-chance", type=float, default=music.LANDING_CHANCE,
                        help="share of songs whose melody lands on the tonic (0: the songs as they were before)")
    parser.add_argument("--borrowed-chance", type=float, default=music.BORROWED_CHANCE,
                        help="chance that a free song tries to borrow its loop from another key (0: none)")
    args = parser.parse_args()
    module = globals()
    module["SLOT_SECONDS"] += args.song_seconds - SONG_SECONDS
    module["VARIETY"] = args.variety
    module["LEAD_DB"] = args.lead_db
    module["SONG_SECONDS"] = args.song_seconds
    module["ARRANGEMENT"] = args.arrangement
    music.LANDING_CHANCE = args.landing_chance
    music.BORROWED_CHANCE = args.borrowed_chance
    if args.wav:
        os.makedirs(args.wav, exist_ok=True)
    basis = features.load_basis(args.basis)
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"{args.name or args.split}.npz")
    feats, labels = [], []
    started = time.time()
    for first in range(args.first, args.count, BATCH):
        indices = range(first, min(first + BATCH, args.count))
        plans = [song_plan(args.split, i) for i in indices]
        soundfont = args.soundfont[(first - args.first) // BATCH % len(args.soundfont)]
        feats += render_batch(plans, basis, args.wav, first, soundfont)
        labels += [p["label"] for p in plans]
        print(f"{args.split}: {len(labels)}/{args.count - args.first} songs, {time.time() - started:.0f} s", flush=True)
    np.savez(path, features=np.stack(feats).astype(np.float16), labels=np.array(labels, np.int64))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
