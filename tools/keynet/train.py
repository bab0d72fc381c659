"""Trains KeyNet on the rendered features and scores it on the held-out songs.

    /usr/bin/python3 tools/keynet/train.py --data build/keynet --threads 2

Writes build/keynet/keynet.pt (or --checkpoint) and prints exact accuracy and the MIREX weighted score
(exact 1, fifth 0.5, relative 0.3, parallel 0.2) on the held-out set. With --teacher, the
model also learns from other models' averaged probabilities (an ensemble distilled into one).
"""

import argparse
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import music  # noqa: E402
import render  # noqa: E402
import model as keynet  # noqa: E402


def heldout_progressions(count):
    """The listed progression of each held-out song, replayed from its seed: a listed
    song's first draw picks its progression."""
    names = []
    for i in range(count):
        mode = "major" if i % 24 < 12 else "minor"
        pool = music.PROGRESSIONS[("heldout", mode)]
        names.append(pool[np.random.default_rng(render.SEED_BASE["heldout"] + i).integers(len(pool))])
    return names


def heldout_landings(count):
    """Whether each held-out song's melody lands on the tonic, replayed from its seed: the
    choice is the first draw of the song's phrasing stream."""
    return [music.side_stream(np.random.default_rng(render.SEED_BASE["heldout"] + i)).random() < music.LANDING_CHANCE
            for i in range(count)]


def mirex_score(pred, true):
    """Credit of one answer (MIREX): same key 1, the answer a fifth above in the same mode
    0.5, relative 0.3, parallel 0.2, otherwise 0."""
    if pred == true:
        return 1.0
    pt, pm, tt, tm = pred % 12, pred // 12, true % 12, true // 12
    if pm == tm and (pt - tt) % 12 == 7:
        return 0.5
    if pm != tm:
        relative_tonic = (tt + 9) % 12 if tm == 0 else (tt + 3) % 12
        if pt == relative_tonic:
            return 0.3
        if pt == tt:
            return 0.2
    return 0.0


KRUMHANSL_MAJOR = np.array([6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88])
KRUMHANSL_MINOR = np.array([6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17])


def template_baseline(features):
    """A classic reference on the same features: the chroma of the whole window
    correlated with the Krumhansl-Kessler key profiles."""
    linear = np.where(features > 0, 10.0 ** (4.0 * (features.astype(np.float32) - 1.0)), 0.0)
    chroma = linear.sum(axis=2).reshape(len(features), 6, 12).sum(axis=1)
    profiles = np.stack([np.roll(KRUMHANSL_MAJOR, k) for k in range(12)] +
                        [np.roll(KRUMHANSL_MINOR, k) for k in range(12)])
    c = chroma - chroma.mean(axis=1, keepdims=True)
    p = profiles - profiles.mean(axis=1, keepdims=True)
    return np.argmax(c @ p.T, axis=1)


def transpose(x, y, shift):
    """Moves features by `shift` bins (zeros enter) and relabels the tonic."""
    out = torch.zeros_like(x)
    if shift > 0:
        out[:, :, shift:, :] = x[:, :, :-shift, :]
    elif shift < 0:
        out[:, :, :shift, :] = x[:, :, -shift:, :]
    else:
        out = x
    return out, (y // 12) * 12 + (y % 12 + shift) % 12


def tilt(x, rng):
    """A random spectral tilt of up to +-12 dB over the six octaves (features are log10
    magnitude / 4), as different mixes and recordings would give; the loudest cell is
    brought back to 1 and the 80 dB floor kept."""
    slopes = torch.from_numpy(rng.uniform(-0.15, 0.15, (len(x), 1, 1, 1)).astype(np.float32))
    ramp = torch.linspace(-0.5, 0.5, x.shape[2]).view(1, 1, -1, 1)
    shifted = torch.where(x > 0, x + slopes * ramp, torch.zeros_like(x))
    peak = shifted.amax(dim=(1, 2, 3), keepdim=True)
    return torch.where(x > 0, torch.clamp(shifted - peak + 1.0, min=0.0), torch.zeros_like(x))


def mask_band(x, rng):
    """Silences a random band of 6 to 18 bins, as a missing instrument would, so that
    the model does not lean on one register."""
    width = int(rng.integers(6, 19))
    start = int(rng.integers(0, x.shape[2] - width))
    x = x.clone()
    x[:, :, start:start + width, :] = 0
    return x


def roll_keys(p, shift):
    """Key probabilities of a song moved up `shift` semitones: each mode's twelve tonics
    turn round, as `transpose` relabels the tonic."""
    return p.view(-1, 2, 12).roll(shift, dims=2).reshape(-1, 24)


def predict(model, x):
    model.eval()
    with torch.no_grad():
        return torch.cat([model(x[i:i + 64].float()) for i in range(0, len(x), 64)])


def distillation_loss(logits, teacher, temperature):
    """Kullback-Leibler divergence from the teacher's softened probabilities, scaled by the
    squared temperature so that its gradients weigh as much as the labels' do."""
    soft = torch.softmax(torch.log(teacher.clamp_min(1e-8)) / temperature, dim=1)
    log_student = torch.log_softmax(logits / temperature, dim=1)
    return torch.nn.functional.kl_div(log_student, soft, reduction="batchmean") * temperature ** 2


def evaluate(model, x, y):
    pred = predict(model, x).argmax(1)
    exact = float((pred == y).float().mean())
    weighted = float(np.mean([mirex_score(int(p), int(t)) for p, t in zip(pred, y)]))
    return exact, weighted, pred


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default="build/keynet")
    parser.add_argument("--epochs", type=int, default=24)
    parser.add_argument("--heldout", default="heldout.npz")
    parser.add_argument("--train", nargs="+", default=["train.npz", "train_free.npz", "train_free2.npz"])
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--mask", type=float, default=0.0, help="chance of a masked frequency band")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--minutes", type=float, default=60.0, help="wall-time cap")
    parser.add_argument("--checkpoint", help="where to save (default: keynet.pt in --data)")
    parser.add_argument("--width", type=int, default=20)
    parser.add_argument("--context", type=int, default=32)
    parser.add_argument("--octaves", action=argparse.BooleanOptionalAction, default=True,
                        help="relate each bin to its octaves before pooling time")
    parser.add_argument("--cadence", action=argparse.BooleanOptionalAction, default=True,
                        help="relate chord roots a fourth or fifth apart in neighbouring frames")
    parser.add_argument("--teacher", nargs="+", metavar="CHECKPOINT",
                        help="learn also from these models' averaged probabilities (distillation)")
    parser.add_argument("--teacher-weight", type=float, default=0.5, help="share of the loss that is the teacher's")
    parser.add_argument("--temperature", type=float, default=2.0)
    parser.add_argument("--init", metavar="CHECKPOINT",
                        help="fine-tune this model (an .onnx file: its member --member) instead of a new one")
    parser.add_argument("--member", type=int, default=0, help="which member of an --init .onnx file")
    parser.add_argument("--lr", type=float, default=3e-3, help="peak learning rate")
    parser.add_argument("--report", nargs="*", default=[], metavar="NPZ",
                        help="more held-out sets (other soundfonts, arrangements) scored after training")
    parser.add_argument("--evaluate", nargs="+", metavar="CHECKPOINT",
                        help="no training: score these checkpoints (several: their average) on the held-out set")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(args.seed)

    held = np.load(os.path.join(args.data, args.heldout))
    xh = torch.from_numpy(held["features"]).unsqueeze(1)
    yh = torch.from_numpy(held["labels"])
    if args.evaluate:
        evaluated = keynet.load(args.evaluate)
        report(evaluated, xh, yh)
        report_sets(evaluated, args.data, args.report)
        return
    parts = [np.load(os.path.join(args.data, name)) for name in args.train]
    xt = torch.from_numpy(np.concatenate([p["features"] for p in parts])).unsqueeze(1)
    yt = torch.from_numpy(np.concatenate([p["labels"] for p in parts]))
    print(f"train {len(yt)} songs, held-out {len(yh)} songs")

    teacher = None
    if args.teacher:
        # The teacher hears each song untransposed; its answer turns with the song.
        teacher = predict(keynet.load(args.teacher), xt)
        agree = float((teacher.argmax(1) == yt).float().mean())
        print(f"teacher agrees with {agree * 100:.1f}% of the training labels")

    if args.init:
        members = keynet.from_onnx(args.init) if args.init.endswith(".onnx") else [keynet._load_one(args.init)]
        model = members[args.member]
        exact, weighted, _ = evaluate(model, xh, yh)
        print(f"fine-tuning {args.init} member {args.member}: held-out exact {exact * 100:.1f}%  weighted {weighted * 100:.1f}")
    else:
        model = keynet.KeyNet(args.width, args.context, args.octaves, args.cadence)
    params = [p for p in model.parameters() if p.requires_grad]
    print(f"{sum(p.numel() for p in params)} trainable parameters")
    opt = torch.optim.AdamW(params, lr=args.lr, weight_decay=1e-4)
    steps_per_epoch = (len(yt) + 31) // 32
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=args.lr, total_steps=args.epochs * steps_per_epoch)
    loss_fn = torch.nn.CrossEntropyLoss(label_smoothing=0.05)
    started = time.time()
    for epoch in range(args.epochs):
        model.train()
        if args.init:
            # A model rebuilt from its export has its batch norms folded into identities;
            # batch statistics would undo the folding, so the norms keep their stored ones.
            for m in model.modules():
                if isinstance(m, torch.nn.BatchNorm2d):
                    m.eval()
        order = torch.from_numpy(rng.permutation(len(yt)))
        total = 0.0
        for i in range(0, len(order), 32):
            idx = order[i:i + 32]
            shift = int(rng.integers(-5, 7))
            x, y = transpose(xt[idx].float(), yt[idx], shift)
            if rng.random() < 0.5:
                x = tilt(x, rng)
            if rng.random() < args.mask:
                x = mask_band(x, rng)
            logits = model.logits(x)
            loss = loss_fn(logits, y)
            if teacher is not None:
                soft = distillation_loss(logits, roll_keys(teacher[idx], shift), args.temperature)
                loss = (1 - args.teacher_weight) * loss + args.teacher_weight * soft
            opt.zero_grad()
            loss.backward()
            opt.step()
            sched.step()
            total += float(loss) * len(idx)
        exact, weighted, _ = evaluate(model, xh, yh)
        elapsed = time.time() - started
        print(f"epoch {epoch + 1}: loss {total / len(yt):.3f}  held-out exact {exact * 100:.1f}%  "
              f"weighted {weighted * 100:.1f}  ({elapsed:.0f} s)", flush=True)
        if elapsed > args.minutes * 60:
            print("wall-time cap reached")
            break
    keynet.save(model, args.checkpoint or os.path.join(args.data, "keynet.pt"))
    report(model, xh, yh)
    report_sets(model, args.data, args.report)


def report_sets(model, data, names):
    """Exact and weighted score on each further held-out set."""
    for name in names:
        held = np.load(os.path.join(data, name))
        exact, weighted, _ = evaluate(model, torch.from_numpy(held["features"]).unsqueeze(1),
                                      torch.from_numpy(held["labels"]))
        print(f"{name}: exact {exact * 100:.2f}%  weighted {weighted * 100:.2f}  ({len(held['labels'])} songs)")


def report(model, xh, yh):
    """Held-out accuracy, the kinds of error and the accuracy of each held-out progression."""
    exact, weighted, pred = evaluate(model, xh, yh)
    confusions = {"fifth": 0, "relative": 0, "parallel": 0, "other": 0}
    for p, t in zip(pred.tolist(), yh.tolist()):
        s = mirex_score(p, t)
        if s == 1.0:
            continue
        confusions[{0.5: "fifth", 0.3: "relative", 0.2: "parallel"}.get(s, "other")] += 1
    print(f"held-out: exact {exact * 100:.2f}%  weighted {weighted * 100:.2f}  errors {confusions}")
    hits, landed = {}, {}
    for name, lands, p, t in zip(heldout_progressions(len(yh)), heldout_landings(len(yh)), pred.tolist(), yh.tolist()):
        hits.setdefault(name, []).append(p == t)
        landed.setdefault(name, {True: [], False: []})[lands].append(p == t)
    for name, h in sorted(hits.items(), key=lambda item: np.mean(item[1])):
        split = "  ".join(f"{label} {np.mean(landed[name][k]) * 100:5.1f}%" for k, label in ((True, "landing"), (False, "none"))
                          if landed[name][k])
        print(f"  {np.mean(h) * 100:5.1f}%  {len(h):3d} songs  {name:24s}  melody {split}")
    for k, label in ((True, "lands on the tonic"), (False, "does not land")):
        h = [x for name in landed for x in landed[name][k]]
        print(f"  melody {label}: {np.mean(h) * 100:.1f}% of {len(h)} songs")
    base = template_baseline(xh[:, 0].numpy())
    base_exact = float(np.mean(base == yh.numpy()))
    base_weighted = float(np.mean([mirex_score(int(p), int(t)) for p, t in zip(base, yh.tolist())]))
    print(f"chroma-template baseline on the same songs: exact {base_exact * 100:.2f}%  "
          f"weighted {base_weighted * 100:.2f}")


if __name__ == "__main__":
    main()
