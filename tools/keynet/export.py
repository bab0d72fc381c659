"""Exports the trained KeyNet to resources/KeyNetV5.onnx and checks that OpenCV's DNN
module (through the detector's own model loader) reproduces PyTorch's probabilities
within 1e-5, and that the detector's constant-Q features match the training features.

    /usr/bin/python3 tools/keynet/export.py --checkpoint build/keynet/keynet_7.pt build/keynet/keynet_8.pt ...

A checkpoint may be an exported .onnx file, which stands for its members: new members can
join the shipped ones without the shipped checkpoints.
"""

import argparse
import os
import subprocess
import sys

import numpy as np
import onnx
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import features  # noqa: E402
import model as keynet  # noqa: E402
from model import BINS, FRAMES  # noqa: E402

TOLERANCE = 1e-5


def inline_constant_identities(model):
    """The exporter shares equal folded tensors through Identity nodes, which OpenCV 4.6
    cannot import; give each its own copy of the tensor instead."""
    initializers = {t.name: t for t in model.graph.initializer}
    for node in list(model.graph.node):
        if node.op_type == "Identity" and node.input[0] in initializers:
            copy = onnx.TensorProto()
            copy.CopyFrom(initializers[node.input[0]])
            copy.name = node.output[0]
            model.graph.initializer.append(copy)
            model.graph.node.remove(node)


def export_onnx(model, path):
    """The model as the detector loads it: input "cqt", output "probabilities"."""
    model.eval()
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    torch.onnx.export(model, torch.zeros(1, 1, BINS, FRAMES), path, input_names=["cqt"],
                      output_names=["probabilities"], opset_version=12, do_constant_folding=True)
    graph = onnx.load(path)
    inline_constant_identities(graph)
    onnx.checker.check_model(graph)
    onnx.save(graph, path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--checkpoint", nargs="+", default=["build/keynet/keynet_7.pt", "build/keynet/keynet_8.pt"],
                        help="one checkpoint, or several exported as their average (an .onnx file: its members)")
    parser.add_argument("--output", default="resources/KeyNetV5.onnx")
    parser.add_argument("--heldout", default="build/keynet/heldout.npz")
    parser.add_argument("--checker", default="build/default/tools/keynet/keynet_onnx_check")
    parser.add_argument("--basis", default="build/default/resources/keynet_v5_cqt_basis.f32")
    parser.add_argument("--untrained", action="store_true", help="export random weights (pipeline test)")
    args = parser.parse_args()
    torch.set_num_threads(1)

    model = keynet.KeyNet() if args.untrained else keynet.load(args.checkpoint)
    export_onnx(model, args.output)
    print(f"wrote {args.output} ({os.path.getsize(args.output)} bytes)")

    rng = np.random.default_rng(5)
    inputs = [rng.random((BINS, FRAMES), dtype=np.float32) for _ in range(2)]
    inputs.append(np.zeros((BINS, FRAMES), np.float32))
    if os.path.exists(args.heldout):
        held = np.load(args.heldout)["features"]
        inputs += [held[i].astype(np.float32) for i in (0, len(held) // 2, len(held) - 1)]
    batch = np.stack(inputs)[:, None]
    with torch.no_grad():
        expected = model(torch.from_numpy(batch)).numpy().astype(np.float32)
    work = os.path.dirname(args.heldout) or "."
    os.makedirs(work, exist_ok=True)
    inputs_path = os.path.join(work, "onnx_check_inputs.f32")
    expected_path = os.path.join(work, "onnx_check_expected.f32")
    batch.astype("<f4").tofile(inputs_path)
    expected.astype("<f4").tofile(expected_path)
    result = subprocess.run([args.checker, args.output, inputs_path, expected_path, str(TOLERANCE)])
    if result.returncode != 0:
        sys.exit(result.returncode)
    sys.exit(check_features(args.checker, args.basis, work))


def check_features(checker, basis_path, work):
    """The model was trained on numpy's features; the detector computes its own."""
    rng = np.random.default_rng(11)
    t = np.arange(features.WINDOW) / features.SAMPLE_RATE
    window = (0.3 * np.sin(2 * np.pi * 220 * t) + 0.2 * np.sin(2 * np.pi * 329.6 * t) * (t % 2 < 1)
              + 0.01 * rng.standard_normal(len(t))).astype(np.float32)
    window_path = os.path.join(work, "features_check_window.f32")
    out_path = os.path.join(work, "features_check_cpp.f32")
    window.astype("<f4").tofile(window_path)
    subprocess.run([checker, "--features", basis_path, window_path, out_path], check=True)
    cpp = np.fromfile(out_path, dtype="<f4").reshape(features.BINS, features.FRAMES)
    ours = features.cqt_features(window, features.load_basis(basis_path))
    worst = float(np.max(np.abs(cpp - ours)))
    print(f"detector vs training features: largest difference {worst:.3g} (tolerance 1e-4)")
    return 0 if worst <= 1e-4 else 1


if __name__ == "__main__":
    main()
