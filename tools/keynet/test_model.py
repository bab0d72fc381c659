"""Checks that an exported model can be rebuilt from its ONNX file: the members that come
back give the exported probabilities, with or without the octave and cadence stages
(told apart by their dilations, as a member may have either with the same number of
convolutions), and can be
joined with a checkpoint into a larger ensemble. A graph that is not a KeyNet is refused.
A teacher's probabilities, used for distillation, follow a transposed song's label.
Calibration divides a member's scores by its temperature and keeps its ranking; the
temperature fitted to overconfident answers softens them."""

import os
import sys
import tempfile

import numpy as np
import onnx
import torch
from onnx import numpy_helper
from torch import nn

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import calibrate  # noqa: E402
import export  # noqa: E402
import model as keynet  # noqa: E402
import train  # noqa: E402
from model import BINS, FRAMES  # noqa: E402


def trained_looking(net, seed):
    """Batch norms with statistics and affine terms far from the identity, so that a
    wrong fold shows."""
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for m in net.modules():
            if isinstance(m, nn.BatchNorm2d):
                m.running_mean.copy_(torch.randn(m.num_features, generator=g) * 0.5)
                m.running_var.copy_(torch.rand(m.num_features, generator=g) * 2 + 0.2)
                m.weight.copy_(torch.rand(m.num_features, generator=g) + 0.5)
                m.bias.copy_(torch.randn(m.num_features, generator=g) * 0.3)
    return net.eval()


def main():
    torch.manual_seed(3)
    failures = []
    x = torch.rand(4, 1, BINS, FRAMES)
    shipped = keynet.Ensemble([trained_looking(keynet.KeyNet(cadence=True), 1),
                               trained_looking(keynet.KeyNet(width=12, context=16, octaves=False), 2),
                               trained_looking(keynet.KeyNet(width=12, context=16, octaves=False, cadence=True), 3),
                               trained_looking(keynet.KeyNet(width=12, context=16), 5)
                               ]).eval()
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "model.onnx")
        export.export_onnx(shipped, path)
        members = keynet.from_onnx(path)
        if [m.config for m in members] != [m.config for m in shipped.members]:
            failures.append(f"configs {[m.config for m in members]}")
        with torch.no_grad():
            expected = shipped(x)
            worst = float((keynet.Ensemble(members)(x) - expected).abs().max())
            if worst > 1e-6:
                failures.append(f"rebuilt ensemble differs by {worst:.3g}")
            # A checkpoint joins the exported members; all weigh the same.
            third = trained_looking(keynet.KeyNet(), 4)
            checkpoint = os.path.join(work, "third.pt")
            keynet.save(third, checkpoint)
            grown = keynet.load([path, checkpoint]).eval()
            n = len(shipped.members)
            want = (n * expected + third(x)) / (n + 1)
            if len(grown.members) != n + 1 or float((grown(x) - want).abs().max()) > 1e-6:
                failures.append("the exported members and a checkpoint do not make one larger ensemble")
        # A KeyNet graph whose first kernel has the wrong shape.
        exported = onnx.load(path)
        first = next(n for n in exported.graph.node if n.op_type == "Conv").input[1]
        weight = next(t for t in exported.graph.initializer if t.name == first)
        weight.CopyFrom(numpy_helper.from_array(np.zeros((20, 1, 3, 3), np.float32), first))
        bent = os.path.join(work, "bent.onnx")
        onnx.save(exported, bent)
        refusals = [bent]
        # A KeyNet graph whose first convolution is spread out in frequency.
        exported = onnx.load(path)
        spread = next(n for n in exported.graph.node if n.op_type == "Conv")
        next(a for a in spread.attribute if a.name == "dilations").ints[:] = [2, 1]
        refusals.append(os.path.join(work, "spread.onnx"))
        onnx.save(exported, refusals[-1])
        # A graph that is not a KeyNet: one convolution and no fold.
        plain = os.path.join(work, "plain.onnx")
        torch.onnx.export(nn.Conv2d(1, 2, 3).eval(), torch.zeros(1, 1, BINS, FRAMES), plain)
        for bad in refusals + [plain]:
            try:
                keynet.from_onnx(bad)
                failures.append(f"{os.path.basename(bad)} was accepted")
            except ValueError as e:
                if "not a KeyNet" not in str(e):
                    failures.append(f"wrong refusal: {e}")
    failures += distillation_failures()
    failures += calibration_failures(x)
    for f in failures:
        print("FAIL:", f)
    print("ok" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


def distillation_failures():
    """A teacher's answer turns with the song as the label does, and a student that says
    what the teacher says has nothing left to learn from it."""
    failures = []
    labels = torch.arange(24)
    for shift in range(-5, 7):
        _, moved = train.transpose(torch.zeros(24, 1, BINS, FRAMES), labels, shift)
        rolled = train.roll_keys(nn.functional.one_hot(labels, 24).float(), shift).argmax(1)
        if not torch.equal(rolled, moved):
            failures.append(f"teacher probabilities moved by {shift} do not follow the labels")
    teacher = torch.softmax(torch.randn(8, 24), dim=1)
    same = float(train.distillation_loss(torch.log(teacher), teacher, 2.0))
    other = float(train.distillation_loss(torch.randn(8, 24), teacher, 2.0))
    if abs(same) > 1e-5 or not other > 0.01:
        failures.append(f"distillation loss {same:.3g} for the teacher's own answer, {other:.3g} for another")
    return failures


def calibration_failures(x):
    failures = []
    member = trained_looking(keynet.KeyNet(), 6)
    with torch.no_grad():
        before = member.logits(x)
        calibrate.scale_last(member, 2.5)
        after = member.logits(x)
    if float((after - before / 2.5).abs().max()) > 1e-5 or not torch.equal(after.argmax(1), before.argmax(1)):
        failures.append("a calibrated member's scores are not its scores divided by the temperature")
    # Answers as sure as 0.99 of which only half are right want a temperature above 1.
    g = torch.Generator().manual_seed(9)
    labels = torch.randint(0, 24, (400,), generator=g)
    guesses = torch.where(torch.rand(400, generator=g) < 0.5, labels, (labels + 5) % 24)
    logits = [nn.functional.one_hot(guesses, 24).float() * 9.0]
    losses = [calibrate.nll(logits, labels, t) for t in calibrate.TEMPERATURES]
    best = float(calibrate.TEMPERATURES[int(np.argmin(losses))])
    rows, _ = calibrate.reliability(calibrate.averaged(logits, best), labels)
    if not best > 1.5 or any(right > 0.6 for c, answered, right in rows if answered > 0):
        failures.append(f"temperature {best} for overconfident answers, reliability {rows}")
    return failures


if __name__ == "__main__":
    sys.exit(main())
