"""Scores the program's key decisions on songs rendered with render.py --wav (56 s songs:
the bench listens to 45 s from 8 s on).

    /usr/bin/python3 tools/keynet/score_decisions.py --program build/default/src/app/tonivox \
        /work/eval/tim_band /work/eval/tim_piano ...

For every folder it runs the program's own test modes: "--keytest" (the classic detector and
its gate), "--keytest-v5" (the neural detector and its confidence) and "--keytest-decide" under
both engines (a private HOME holds the setting). It prints the neural detector's exact share and
MIREX weighted score, what each rule decides (share decided, exact of decided, decisions with the
wrong notes: neither the key nor its relative), a sweep of the neural threshold, and a
calibration table (share right among answers with confidence in each band). It checks that
"--keytest-decide" agrees with the other modes: "classic" decides exactly where "--keytest"
passes, with its key, and "neural_first" takes the model's key where it is confident enough.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from score_program import class_index  # noqa: E402
from train import mirex_score  # noqa: E402


def truth_of(name):
    return int(name.split("_")[1].split(".")[0])


def same_notes(pred, truth):
    """The key itself or its relative: Auto-Tune pulls to the song's own notes."""
    if pred == truth:
        return True
    pt, pm, tt, tm = pred % 12, pred // 12, truth % 12, truth // 12
    return pm != tm and pt == ((tt + 9) % 12 if tm == 0 else (tt + 3) % 12)


def run(program, args, home):
    env = dict(os.environ, HOME=home)
    env.pop("XDG_CONFIG_HOME", None)
    env.pop("DISPLAY", None)
    out = subprocess.run([program, *args], capture_output=True, text=True, check=True, env=env).stdout
    return dict(line.split("\t", 1) for line in out.splitlines() if "\t" in line)


def set_engine(home, engine):
    folder = os.path.join(home, ".config", "Tonivox")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "Tonivox.conf"), "w") as f:
        f.write(f"[General]\nkeyDecisionEngine={engine}\n")


def measure(program, files, home):
    """Per song: truth, classic (key or None, passed), neural (key, confidence), decide lines."""
    classic = run(program, ["--keytest", *files], home)
    neural = run(program, ["--keytest-v5", *files], home)
    set_engine(home, "classic")
    decide_classic = run(program, ["--keytest-decide", *files], home)
    set_engine(home, "neural_first")
    decide_neural = run(program, ["--keytest-decide", *files], home)
    songs = []
    for f in files:
        name = os.path.basename(f)
        c = classic.get(name, "")
        ck = re.match(r"key=(\S+ \S+)", c)
        n = neural.get(name, "")
        nk = re.match(r"key=(\S+ \S+) confidence=([\d.]+)%", n)
        songs.append({
            "name": name, "truth": truth_of(name),
            "classic": class_index(ck.group(1)) if ck else None, "passed": "通过=是" in c,
            "neural": class_index(nk.group(1)) if nk else None,
            "confidence": float(nk.group(2)) / 100 if nk else 0.0,
            "decide_classic": decide_classic.get(name, ""), "decide_neural": decide_neural.get(name, ""),
        })
    return songs


def decided_stats(decisions):
    """decisions: (pred or None, truth) per song."""
    made = [(p, t) for p, t in decisions if p is not None]
    exact = sum(p == t for p, t in made)
    wrong = sum(not same_notes(p, t) for p, t in made)
    n = len(decisions)
    share = 100.0 * len(made) / n if n else 0.0
    exact_share = 100.0 * exact / len(made) if made else 0.0
    return f"decided {share:5.1f} % ({len(made)}/{n}), exact of decided {exact_share:5.1f} %, wrong notes {wrong}"


def neural_first(song, threshold):
    if song["neural"] is not None and song["confidence"] >= threshold:
        return song["neural"]
    return song["classic"] if song["passed"] else None


def consistency(songs, threshold):
    """Lines where --keytest-decide disagrees with the other modes."""
    names = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]

    def text(k):
        return f"{names[k % 12]} {'小调' if k >= 12 else '大调'}"

    out = []
    for s in songs:
        want_c = f"key={text(s['classic'])} engine=shadow_v2" if s["passed"] else "未决定"
        if s["decide_classic"] != want_c:
            out.append(f"{s['name']}: classic {s['decide_classic']!r}, --keytest says {want_c!r}")
        if s["neural"] is not None and s["confidence"] >= threshold:
            want_n = f"key={text(s['neural'])} engine=neural_v5"
        else:
            want_n = want_c
        # Confidence is printed to 0.1 %: a song on the threshold itself may go either way.
        if s["decide_neural"] != want_n and abs(s["confidence"] - threshold) > 0.001:
            out.append(f"{s['name']}: neural_first {s['decide_neural']!r}, expected {want_n!r}")
    return out


def report(title, songs, threshold, thresholds):
    n = len(songs)
    print(f"== {title} ({n} songs)")
    weighted = sum(mirex_score(s["neural"], s["truth"]) if s["neural"] is not None else 0.0 for s in songs)
    exact = sum(s["neural"] == s["truth"] for s in songs)
    print(f"neural detector: exact {100.0 * exact / n:.1f} %, MIREX weighted {100.0 * weighted / n:.1f}")
    print("classic gate:      " + decided_stats([(s["classic"] if s["passed"] else None, s["truth"]) for s in songs]))
    print("neural alone:      " + decided_stats([(s["neural"], s["truth"]) for s in songs]))
    for c in thresholds:
        neural_only = [(s["neural"] if s["confidence"] >= c else None, s["truth"]) for s in songs]
        combined = [(neural_first(s, c), s["truth"]) for s in songs]
        marker = " <- chosen" if abs(c - threshold) < 1e-9 else ""
        print(f"neural >= {c:.2f}:      " + decided_stats(neural_only) + marker)
        print(f"  neural_first {c:.2f}: " + decided_stats(combined))


def calibration(songs):
    print("== calibration: share right among the model's answers, by confidence")
    edges = [0.0, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.01]
    for lo, hi in zip(edges, edges[1:]):
        band = [s for s in songs if s["neural"] is not None and lo <= s["confidence"] < hi]
        if band:
            right = sum(s["neural"] == s["truth"] for s in band)
            mean = sum(s["confidence"] for s in band) / len(band)
            print(f"  [{lo:.1f}, {min(hi, 1.0):.1f}): {len(band):4d} answers, mean confidence {mean:.2f}, "
                  f"right {100.0 * right / len(band):5.1f} %")
    for c in (0.5, 0.6, 0.7, 0.8, 0.9):
        above = [s for s in songs if s["neural"] is not None and s["confidence"] >= c]
        if above:
            right = sum(s["neural"] == s["truth"] for s in above)
            print(f"  confidence >= {c:.1f}: {len(above):4d} answers, right {100.0 * right / len(above):5.1f} %")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folders", nargs="+")
    parser.add_argument("--program", default="build/default/src/app/tonivox")
    parser.add_argument("--threshold", type=float, default=0.70, help="the program's neural threshold")
    args = parser.parse_args()
    thresholds = [0.5, 0.6, 0.65, 0.7, 0.75, 0.8, 0.85, 0.9]
    if args.threshold not in thresholds:
        thresholds = sorted(thresholds + [args.threshold])
    everything, problems = [], []
    with tempfile.TemporaryDirectory() as home:
        for folder in args.folders:
            files = sorted(glob.glob(os.path.join(folder, "*_*.wav")))
            if not files:
                sys.exit(f"no rendered songs in {folder}")
            songs = measure(args.program, files, home)
            report(os.path.basename(folder.rstrip("/")), songs, args.threshold, thresholds)
            problems += consistency(songs, args.threshold)
            everything += songs
    if len(args.folders) > 1:
        report("all", everything, args.threshold, thresholds)
    calibration(everything)
    print(f"== --keytest-decide against the other modes: {len(problems)} disagreements")
    for line in problems:
        print("  " + line)


if __name__ == "__main__":
    main()
