"""KeyNet: a small transposition-equivariant CNN over the 72 x 320 constant-Q input.

Convolutions slide along frequency with zero padding, so a transposed song moves the
feature maps along the bin axis. The last layer scores every bin as a candidate major
or minor tonic; because bin 0 is C, folding the six octaves (bin mod 12) gives the 24
class scores directly in the detector's class order (0..11 major, 12..23 minor).
"""

import torch
from torch import nn

BINS, FRAMES = 72, 320


def _block(cin, cout, kernel, dilation=(1, 1)):
    pad = (kernel[0] // 2 * dilation[0], kernel[1] // 2 * dilation[1])
    return nn.Sequential(nn.Conv2d(cin, cout, kernel, padding=pad, dilation=dilation, bias=False),
                         nn.BatchNorm2d(cout), nn.ReLU())


class KeyNet(nn.Module):
    def __init__(self, width=20, context=32, octaves=True, cadence=False):
        super().__init__()
        self.config = {"width": width, "context": context, "octaves": octaves, "cadence": cadence}
        # With `octaves`, each bin also hears the same pitch class two octaves up and down
        # while the notes still sound, before time is pooled away: a melody holding the
        # note that the bass and the chord have as their root is how a phrase comes home.
        octave_stage = [_block(width, width, (5, 3), dilation=(12, 1))] if octaves else []
        # With `cadence`, a chord root heard beside the root a fourth or fifth away one frame
        # (~1.5 s) earlier or later: V going to I, which names home where a loop's notes
        # alone fit two keys. Later stages see each bin on its own or time pooled away.
        cadence_stage = [_block(context, context, (3, 3), dilation=(5, 1))] if cadence else []
        self.frames = nn.Sequential(
            nn.AvgPool2d((1, 4)),                # 80 frames of ~0.37 s
            _block(1, width, (3, 5)),
            nn.MaxPool2d((1, 2)),                # 40
            _block(width, width, (3, 5)),
            *octave_stage,
            nn.MaxPool2d((1, 2)),                # 20
            _block(width, context, (3, 3)),
            *cadence_stage,
            _block(context, context, (1, 5)),    # chord changes over ~7 s
        )
        # The mean over the window says how much of each chord sounds; the peak says that
        # it sounded at all, which a tonic heard once per loop needs.
        self.mean = nn.AvgPool2d((1, FRAMES // 16))
        self.peak = nn.MaxPool2d((1, FRAMES // 16))
        self.harmony = nn.Sequential(
            _block(2 * context, context, (13, 1)),
            _block(context, context, (13, 1)),
            nn.Conv2d(context, 2, (1, 1)),
        )
        fold = torch.zeros(24, 2 * BINS)
        for mode in range(2):
            for b in range(BINS):
                fold[mode * 12 + b % 12, mode * BINS + b] = 12.0 / BINS
        self.fold = nn.Linear(2 * BINS, 24, bias=False)
        self.fold.weight.data.copy_(fold)
        self.fold.weight.requires_grad_(False)

    def logits(self, x):
        f = self.frames(x)                       # [N, context, 72, 20]
        y = self.harmony(torch.cat([self.mean(f), self.peak(f)], dim=1))  # [N, 2, 72, 1]
        return self.fold(torch.flatten(y, 1))

    def forward(self, x):
        return torch.softmax(self.logits(x), dim=1)


def save(model, path):
    torch.save({"config": model.config, "state": model.state_dict()}, path)


class Ensemble(nn.Module):
    """Models trained apart, their probabilities averaged: one graph, one model call."""

    def __init__(self, members):
        super().__init__()
        self.members = nn.ModuleList(members)

    def forward(self, x):
        return torch.stack([m(x) for m in self.members]).mean(dim=0)


def _load_one(path):
    saved = torch.load(path)
    # Checkpoints saved before a stage existed do not name it.
    model = KeyNet(**{"octaves": False, "cadence": False, **saved["config"]})
    model.load_state_dict(saved["state"])
    return model


@torch.no_grad()
def _set_folded(conv, norm, weight, bias):
    conv.weight.copy_(weight)
    if norm is None:
        conv.bias.copy_(bias)
        return
    norm.weight.fill_(1.0)
    norm.bias.copy_(bias)
    norm.running_mean.zero_()
    norm.running_var.fill_(1.0 - norm.eps)


def from_onnx(path):
    """The members of an exported model, rebuilt from its graph, so that a later round can
    grow the shipped ensemble without the checkpoints, which live only in the build folder.
    Export folds each batch norm into its convolution: the folded weight goes back into the
    convolution, the folded bias into the norm's shift, and the norm becomes the identity."""
    import onnx
    from onnx import numpy_helper
    graph = onnx.load(path).graph
    tensors = {t.name: numpy_helper.to_array(t) for t in graph.initializer}
    # Each member's convolutions come before its fold, the one matrix product it has; the
    # dilations tell which optional stages a member has.
    groups, layers = [], []
    for node in graph.node:
        if node.op_type == "Conv":
            dilation = next((tuple(a.ints) for a in node.attribute if a.name == "dilations"), (1, 1))
            layers.append(([torch.from_numpy(tensors[name].copy()) for name in node.input[1:] if name in tensors],
                           dilation))
        elif node.op_type == "MatMul":
            groups.append(layers)
            layers = []
    if not groups or layers:
        raise ValueError(f"{path}: convolutions per member {[len(g) for g in groups]}, "
                         f"{len(layers)} after the last fold; not a KeyNet")
    members = []
    for layers in groups:
        if any(len(t) != 2 for t, _ in layers):
            raise ValueError(f"{path}: member {len(members)} has a convolution without its weight and "
                             f"bias; not a KeyNet")
        dilations = [d for _, d in layers]
        first, last = layers[0][0][0], layers[-1][0][0]
        net = KeyNet(width=first.shape[0], context=last.shape[1],
                     octaves=(12, 1) in dilations, cadence=(5, 1) in dilations)
        modules = list(net.modules())
        targets = [(c, modules[i + 1] if isinstance(modules[i + 1], nn.BatchNorm2d) else None)
                   for i, c in enumerate(modules) if isinstance(c, nn.Conv2d)]
        if len(targets) != len(layers):
            raise ValueError(f"{path}: member {len(members)} has {len(layers)} convolutions "
                             f"where its KeyNet has {len(targets)}; not a KeyNet")
        for i, ((conv, norm), (tensors, dilation)) in enumerate(zip(targets, layers)):
            if tensors[0].shape != conv.weight.shape or dilation != conv.dilation:
                raise ValueError(f"{path}: convolution {i} of member {len(members)} has "
                                 f"{[tuple(t.shape) for t in tensors]}, dilation {dilation}; not a KeyNet")
            _set_folded(conv, norm, *tensors)
        members.append(net.eval())
    return members


def load(paths):
    """The model saved by `save` at each path (an exported .onnx stands for its members),
    or the ensemble of them all when there are several."""
    models = [m for p in paths for m in (from_onnx(p) if str(p).endswith(".onnx") else [_load_one(p)])]
    return models[0] if len(models) == 1 else Ensemble(models)
