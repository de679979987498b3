"""Independent NumPy inference of a guesser network, in float64.

Mirrors the runtime: reactive-centroid scale estimate, 64-point log-frequency
features, residual 1-D CNN, decoding. The network part runs on batches.
"""
from __future__ import annotations

import math

import numpy as np

from . import eisnn_format

TWO_PI = 6.283185307179586
PI = 3.141592653589793
HALF_PI = 1.5707963267948966


def reactive_centroid(frequencies, impedances):
    """(omega_c, z_c): capacitive-weighted log-centroid of frequency and |Z|."""
    f = np.asarray(frequencies, dtype=np.float64)
    z = np.asarray(impedances, dtype=np.complex128)
    n = min(len(f), len(z))
    fk, zk = f[:n], z[:n]
    mag = np.hypot(zk.real, zk.imag)
    keep = ~((fk <= 0) | (mag <= 0))  # NaN points are kept, as the runtime does
    with np.errstate(divide="ignore", invalid="ignore"):
        w = -zk.imag[keep] / mag[keep]
    w = np.where(np.isnan(w), 0.0, np.maximum(w, 0.0))
    total = 0.0
    a = 0.0
    b = 0.0
    for wi, fi, mi in zip(w, fk[keep], mag[keep]):
        total += wi
        a += wi * math.log(TWO_PI * fi)
        b += wi * math.log(mi)
    if total >= 1e-9:
        return math.exp(a / total), math.exp(b / total)
    with np.errstate(divide="ignore", invalid="ignore"):
        omega_c = math.exp(float(np.mean(np.log(TWO_PI * f))))
    all_mag = np.sort(np.abs(z))
    return omega_c, float(all_mag[len(z) // 2])


def interpolate(xs, ys, x):
    """Piecewise-linear interpolation with flat ends, vectorised over x."""
    xs = np.asarray(xs, dtype=np.float64)
    ys = np.asarray(ys, dtype=np.float64)
    x = np.asarray(x, dtype=np.float64)
    i = np.searchsorted(xs, x, side="right")
    lo = np.maximum(i, 1) - 1
    hi = np.minimum(lo + 1, len(xs) - 1)
    dx = xs[hi] - xs[lo]
    with np.errstate(divide="ignore", invalid="ignore"):
        inner = (x - xs[lo]) * (ys[hi] - ys[lo]) / dx + ys[lo]
    out = np.where(dx == 0, ys[lo], inner)
    out = np.where(x >= xs[-1], ys[-1], out)
    return np.where(xs[0] >= x, ys[0], out)


def unwrap_phase(raw):
    """Continuous phase, stepping by the wrapped difference to the previous value."""
    ph = np.empty(len(raw))
    ph[0] = raw[0]
    for k in range(1, len(raw)):
        prev = ph[k - 1]
        d = raw[k] - prev
        d = d - 2 * PI * math.floor((d + PI) / (2 * PI))
        if d == -PI and raw[k] > prev:
            d = PI
        ph[k] = prev + d
    return ph


def features(frequencies, impedances, n_grid, omega_c, z_c):
    """(X of shape (3, n_grid), scalars of shape (2,)) for one spectrum."""
    f = np.asarray(frequencies, dtype=np.float64)
    z = np.asarray(impedances, dtype=np.complex128)
    order = np.argsort(f, kind="stable")
    lf = np.log10(f[order])
    zs = z[order]
    lm = np.log10(np.hypot(zs.real, zs.imag))
    ph = unwrap_phase(np.arctan2(zs.imag, zs.real))
    lo = lf[0]
    span = lf[-1] - lf[0]
    step = span / (n_grid - 1) if n_grid >= 2 else 0.0
    grid = np.arange(n_grid) * step + lo
    x = np.empty((3, n_grid))
    x[0] = interpolate(lf, lm, grid) - math.log10(z_c)
    x[1] = interpolate(lf, ph, grid) / HALF_PI
    x[2] = (grid - math.log10(omega_c / TWO_PI)) * 0.25
    scalars = np.array([span * 0.125, math.log10(len(f)) * 0.5])
    return x, scalars


def gelu(v):
    return (np.tanh(0.7978845608028654 * (0.044715 * v * v * v + v)) + 1.0) * (v * 0.5)


def conv1d(x, weight, bias, dilation):
    """Zero-padded, length-keeping dilated convolution of x (B, Cin, L)."""
    batch, _, length = x.shape
    k = weight.shape[2]
    pad_left = (k - 1) * dilation // 2
    pad_right = (k - 1) * dilation - pad_left
    padded = np.zeros((batch, x.shape[1], length + pad_left + pad_right))
    padded[:, :, pad_left:pad_left + length] = x
    y = np.broadcast_to(bias[None, :, None], (batch, weight.shape[0], length)).copy()
    for tap in range(k):
        window = padded[:, :, tap * dilation:tap * dilation + length]
        y += np.einsum("oi,bil->bol", weight[:, :, tap], window)
    return y


def group_norm(x, gamma, beta, groups, eps=1e-5):
    """Group normalisation over contiguous channel blocks; leftover channels stay."""
    batch, channels, length = x.shape
    per_group = channels // groups
    used = per_group * groups
    y = x.copy()
    blocks = x[:, :used].reshape(batch, groups, per_group * length)
    mean = blocks.mean(axis=2, keepdims=True)
    var = ((blocks - mean) ** 2).mean(axis=2, keepdims=True)
    normed = ((blocks - mean) / np.sqrt(var + eps)).reshape(batch, used, length)
    y[:, :used] = normed * gamma[None, :used, None] + beta[None, :used, None]
    return y


class ReferenceGuesser:
    """A guesser network loaded from EISNN001 bytes."""

    def __init__(self, contents: eisnn_format.EisnnFile):
        meta = contents.meta()
        self.tensors = {name: t.array() for name, t in contents.tensors}
        self.circuit = meta["circuit"]
        self.param_names = meta["param_names"].split(",")
        self.n_grid = int(meta["n_grid"])
        self.channels = int(meta["channels"])
        self.groups = int(meta["groups"])
        self.dilations = [int(d.strip()) for d in meta["dilations"].split(",")]
        self.alpha_min = float(meta["alpha_min"])
        self.alpha_max = float(meta["alpha_max"])
        self.target_mean = self.tensors["target_mean"].reshape(-1)
        self.target_std = self.tensors["target_std"].reshape(-1)
        self.log_params = self.tensors["log_params"].reshape(-1) != 0.0
        self.scaling = self.tensors["scaling"].reshape(-1, 4)

    @classmethod
    def from_path(cls, path):
        return cls(eisnn_format.read(path))

    def _w(self, layer):
        return self.tensors[f"w.{layer}.weight"], self.tensors[f"w.{layer}.bias"]

    def network(self, x, scalars):
        """Raw head outputs (B, 2P) for features x (B, 3, L) and scalars (B, 2)."""
        h = conv1d(np.asarray(x, dtype=np.float64), *self._w("stem"), 1)
        for i, d in enumerate(self.dilations):
            y = conv1d(h, *self._w(f"blocks.{i}.conv1"), d)
            y = gelu(group_norm(y, *self._w(f"blocks.{i}.norm1"), self.groups))
            y = conv1d(y, *self._w(f"blocks.{i}.conv2"), d)
            y = group_norm(y, *self._w(f"blocks.{i}.norm2"), self.groups)
            h = gelu(y + h)
        maxima = np.fmax.reduce(h, axis=2, initial=-np.inf)
        pooled = np.concatenate([h.mean(axis=2), maxima, np.asarray(scalars, np.float64)], axis=1)
        v = pooled
        for layer in ("head.0", "head.2"):
            weight, bias = self._w(layer)
            v = gelu(v @ weight.T + bias)
        weight, bias = self._w("head.4")
        return v @ weight.T + bias

    def decode(self, outputs, omega_c, z_c):
        """Parameters (B, P) from head outputs and each spectrum's scales."""
        p = len(self.param_names)
        v = np.asarray(outputs)[:, :p] * self.target_std + self.target_mean
        y = np.where(self.log_params, 10.0 ** v, v)
        y = np.where(self.log_params, y, np.clip(y, self.alpha_min, self.alpha_max))
        omega_c = np.asarray(omega_c, dtype=np.float64)[:, None]
        z_c = np.asarray(z_c, dtype=np.float64)[:, None]
        a, b, c, ref = self.scaling.T
        ref = np.rint(ref).astype(int)
        exponent = np.broadcast_to(b, y.shape).copy()
        for j in np.nonzero(ref >= 0)[0]:
            exponent[:, j] += c[j] * y[:, ref[j]]
        return (y * z_c ** a) * omega_c ** exponent

    def spectrum_inputs(self, frequencies, impedances):
        """(x, scalars, omega_c, z_c) of one spectrum."""
        omega_c, z_c = reactive_centroid(frequencies, impedances)
        x, scalars = features(frequencies, impedances, self.n_grid, omega_c, z_c)
        return x, scalars, omega_c, z_c

    def guess_many(self, spectra):
        """Parameters (B, P) for a list of (frequencies, impedances) pairs."""
        inputs = [self.spectrum_inputs(f, z) for f, z in spectra]
        x = np.stack([i[0] for i in inputs])
        scalars = np.stack([i[1] for i in inputs])
        omega_c = np.array([i[2] for i in inputs])
        z_c = np.array([i[3] for i in inputs])
        return self.decode(self.network(x, scalars), omega_c, z_c)

    def guess(self, frequencies, impedances):
        return self.guess_many([(frequencies, impedances)])[0]
