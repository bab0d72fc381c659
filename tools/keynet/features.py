"""The detector's constant-Q features, computed exactly as the C++ front end does.

The basis is the file the build generates (build/default/resources), so training and
inference share one definition of the kernels.
"""

import numpy as np

SAMPLE_RATE = 22050
WINDOW = 661500
FFT = 8192
HOP = 2048
FRAMES = 320
BINS = 72


def load_basis(path):
    raw = np.fromfile(path, dtype="<f4")
    if raw.size != BINS * (FFT // 2 + 1) * 2:
        raise ValueError(f"{path}: {raw.size} floats, not a constant-Q basis")
    pairs = raw.reshape(BINS, FFT // 2 + 1, 2)
    return (pairs[..., 0] + 1j * pairs[..., 1]).astype(np.complex64)


def resample_window(x, sr):
    """Linear interpolation to 661500 samples at 22050 Hz, the last sample held."""
    n = len(x)
    if n == 0 or sr <= 0:
        return np.zeros(0, np.float32)
    p = np.arange(WINDOW, dtype=np.float64) / (SAMPLE_RATE / sr)
    p = np.minimum(p, n - 1)
    k = p.astype(np.int64)
    k2 = np.minimum(k + 1, n - 1)
    frac = (p - k).astype(np.float32)
    x = np.asarray(x, np.float32)
    return x[k] + (x[k2] - x[k]) * frac


def cqt_features(y, basis):
    """72 x 320 features in 0..1 from the 661500 resampled samples."""
    y = np.asarray(y, np.float32)
    n = min(len(y) // HOP + 1, FRAMES)
    padded = np.zeros(len(y) + 2 * FFT, np.float32)
    padded[FFT // 2: FFT // 2 + len(y)] = y
    idx = np.arange(n)[:, None] * HOP + np.arange(FFT)[None, :]
    spectrum = np.fft.rfft(padded[idx], axis=1)
    c = np.abs(spectrum.astype(np.complex64) @ basis.T).T  # bins x frames
    peak = max(1e-5, float(c.max()))
    out = np.zeros((BINS, FRAMES), np.float32)
    with np.errstate(divide="ignore"):
        scaled = (np.log10(np.maximum(c, 1e-30)) - np.log10(peak)) * 0.25 + 1.0
    out[:, :n] = np.where(c <= peak / 10000.0, 0.0, scaled)
    return out
