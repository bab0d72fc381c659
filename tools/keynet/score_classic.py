"""Scores the program's classic detector on songs rendered with render.py --wav.

    /usr/bin/python3 tools/keynet/score_classic.py --wav /tmp/heldout-wav \
        --program build/default/src/app/tonivox

Runs "tonivox --keytest" on every NNNN_LABEL.wav (the test bench analyses the audio from
8 s on) and prints exact accuracy and the MIREX weighted score, as train.py does for the
model. A song the bench cannot read counts as wrong.
"""

import argparse
import glob
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from train import mirex_score  # noqa: E402

NOTES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]


def class_index(key_text):
    """"A 小调" -> 21; None for anything else."""
    parts = key_text.split(" ")
    if len(parts) != 2 or parts[0] not in NOTES or parts[1] not in ("大调", "小调"):
        return None
    return NOTES.index(parts[0]) + (12 if parts[1] == "小调" else 0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wav", required=True)
    parser.add_argument("--program", default="build/default/src/app/tonivox")
    args = parser.parse_args()
    files = sorted(glob.glob(os.path.join(args.wav, "*_*.wav")))
    if not files:
        sys.exit(f"no rendered songs in {args.wav}")
    out = subprocess.run([args.program, "--keytest", *files], capture_output=True, text=True, check=True).stdout
    verdicts = {}
    for line in out.splitlines():
        name, _, rest = line.partition("\t")
        key = rest.split(" 段=")[0].removeprefix("key=") if rest.startswith("key=") else ""
        verdicts[name] = class_index(key)
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
    print(f"classic detector on {n} songs: exact {100.0 * exact / n:.2f} %, "
          f"weighted {100.0 * sum(scores) / n:.2f}, unreadable {unread}")


if __name__ == "__main__":
    main()
