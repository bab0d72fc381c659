"""Scores the program's own detectors on songs rendered with render.py --wav.

    /usr/bin/python3 tools/keynet/score_program.py --wav /tmp/heldout-wav \
        --program build/default/src/app/tonivox [--neural]

Runs "tonivox --keytest" (the classic detector) or, with --neural, "tonivox --keytest-v5"
(the shipped model, as the program runs it) on every NNNN_LABEL.wav and prints exact accuracy and the MIREX weighted score, as
train.py does for a checkpoint. A song the bench cannot read counts as wrong. The bench
decodes from 8 s on, so for the neural detector, which needs 30 s, each song is scored
with 8 s of silence put in front of it: the model then hears the same 30 s it is trained on.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from train import mirex_score  # noqa: E402

NOTES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]


def class_index(key_text):
    """"A 小调" -> 21; None for anything else."""
    parts = key_text.split(" ")
    if len(parts) != 2 or parts[0] not in NOTES or parts[1] not in ("大调", "小调"):
        return None
    return NOTES.index(parts[0]) + (12 if parts[1] == "小调" else 0)


def with_lead_in(files, folder, seconds=8.0):
    """Copies of the WAV files with `seconds` of silence in front, in `folder`."""
    out = []
    for f in files:
        with wave.open(f, "rb") as r:
            params, frames = r.getparams(), r.readframes(r.getnframes())
        path = os.path.join(folder, os.path.basename(f))
        with wave.open(path, "wb") as w:
            w.setparams(params)
            w.writeframes(bytes(int(seconds * params.framerate) * params.sampwidth * params.nchannels) + frames)
        out.append(path)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wav", required=True)
    parser.add_argument("--program", default="build/default/src/app/tonivox")
    parser.add_argument("--neural", action="store_true", help="score the neural detector")
    args = parser.parse_args()
    mode = "--keytest-v5" if args.neural else "--keytest"
    files = sorted(glob.glob(os.path.join(args.wav, "*_*.wav")))
    if not files:
        sys.exit(f"no rendered songs in {args.wav}")
    with tempfile.TemporaryDirectory() as folder:
        bench_files = with_lead_in(files, folder) if args.neural else files
        out = subprocess.run([args.program, mode, *bench_files], capture_output=True, text=True, check=True).stdout
    verdicts = {}
    for line in out.splitlines():
        name, _, rest = line.partition("\t")
        key = re.match(r"key=(\S+ \S+)", rest)
        verdicts[name] = class_index(key.group(1)) if key else None
    scores, exact, unread = [], 0, 0
    for f in files:
        name = os.path.basename(f)
        truth = int(name.split("_")[1].split(".")[0])
        pred = verdicts.get(name)
        if pred is None:
            unread += 1
            scores.append(0.0)
            continue
        exact += pred == truth
        scores.append(mirex_score(pred, truth))
    n = len(files)
    print(f"{'neural' if args.neural else 'classic'} detector on {n} songs: exact {100.0 * exact / n:.2f} %, "
          f"weighted {100.0 * sum(scores) / n:.2f}, unreadable {unread}")


if __name__ == "__main__":
    main()
