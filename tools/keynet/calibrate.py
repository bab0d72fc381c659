"""Calibrates KeyNet's confidence by temperature scaling and prints reliability tables.

    /usr/bin/python3 tools/keynet/calibrate.py --checkpoint build/keynet/keynet_7.pt build/keynet/keynet_8.pt \
        --fit val_mix.npz heldout.npz --report tim_band.npz tim_piano.npz

One temperature T for all members is chosen on the --fit sets (held-out songs, never the
--report sets) to minimise the negative log-likelihood of the members' averaged
probabilities; each member's last convolution is then divided by T, which leaves every
member's ranking as it was. The tables give, for each threshold c, the share of songs
answered at confidence >= c and the share right among them: calibrated, the second is about c.
Writes each member as NAME_cal.pt beside its checkpoint (or --suffix).
"""

import argparse
import os
import sys

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import model as keynet  # noqa: E402

THRESHOLDS = (0.5, 0.6, 0.7, 0.8, 0.9)
TEMPERATURES = np.round(np.arange(0.5, 3.01, 0.05), 2)


def member_logits(members, x):
    with torch.no_grad():
        return [torch.cat([m.logits(x[i:i + 64].float()) for i in range(0, len(x), 64)]) for m in members]


def averaged(logits, temperature):
    return torch.stack([torch.softmax(l / temperature, dim=1) for l in logits]).mean(dim=0)


def nll(logits, y, temperature):
    p = averaged(logits, temperature)
    return float(-torch.log(p[torch.arange(len(y)), y].clamp_min(1e-12)).mean())


def reliability(p, y):
    conf, pred = p.max(dim=1)
    right = (pred == y).numpy()
    conf = conf.numpy()
    rows = []
    for c in THRESHOLDS:
        kept = conf >= c
        rows.append((c, float(kept.mean()), float(right[kept].mean()) if kept.any() else float("nan")))
    bins = np.clip((conf * 10).astype(int), 0, 9)
    ece = sum(abs(right[bins == b].mean() - conf[bins == b].mean()) * (bins == b).mean()
              for b in range(10) if (bins == b).any())
    return rows, float(ece)


def print_table(name, p, y):
    rows, ece = reliability(p, y)
    cells = "  ".join(f">={c:.1f}: {answered * 100:3.0f}% answered, {right * 100:5.1f}% right" for c, answered, right in rows)
    print(f"  {name:14s} exact {float((p.argmax(1) == y).float().mean()) * 100:5.1f}%  ECE {ece:.3f}  {cells}")


def load_set(data, name):
    held = np.load(os.path.join(data, name))
    return torch.from_numpy(held["features"]).unsqueeze(1), torch.from_numpy(held["labels"])


@torch.no_grad()
def scale_last(member, temperature):
    last = member.harmony[-1]
    last.weight /= temperature
    last.bias /= temperature


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--checkpoint", nargs="+", required=True)
    parser.add_argument("--data", default="build/keynet")
    parser.add_argument("--fit", nargs="+", required=True, metavar="NPZ")
    parser.add_argument("--report", nargs="*", default=[], metavar="NPZ")
    parser.add_argument("--suffix", default="_cal")
    args = parser.parse_args()
    torch.set_num_threads(2)
    members = [m.eval() for p in args.checkpoint
               for m in (keynet.from_onnx(p) if p.endswith(".onnx") else [keynet._load_one(p)])]

    fit = [load_set(args.data, name) for name in args.fit]
    fit_logits = [member_logits(members, x) for x, _ in fit]
    joined = [torch.cat([logits[i] for logits in fit_logits]) for i in range(len(members))]
    y_fit = torch.cat([y for _, y in fit])
    losses = [nll(joined, y_fit, t) for t in TEMPERATURES]
    best = float(TEMPERATURES[int(np.argmin(losses))])
    print(f"temperature {best:.2f} (NLL {min(losses):.3f}; at 1.00: {nll(joined, y_fit, 1.0):.3f}) on {len(y_fit)} songs")

    sets = list(zip(args.fit, fit_logits, [y for _, y in fit]))
    for name in args.report:
        x, y = load_set(args.data, name)
        sets.append((name, member_logits(members, x), y))
    for temperature, label in ((1.0, "before"), (best, "after")):
        print(f"{label} (T = {temperature:.2f}):")
        for name, logits, y in sets:
            print_table(os.path.splitext(name)[0], averaged(logits, temperature), y)

    if any(p.endswith(".onnx") for p in args.checkpoint):
        names = [f"member_{i}" for i in range(len(members))]
        folder = args.data
    else:
        names = [os.path.splitext(os.path.basename(p))[0] for p in args.checkpoint]
        folder = os.path.dirname(args.checkpoint[0])
    for member, name in zip(members, names):
        scale_last(member, best)
        path = os.path.join(folder, name + args.suffix + ".pt")
        keynet.save(member, path)
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
