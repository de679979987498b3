"""Network inputs and normalised targets for synthetic spectra, cached on disk."""
from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from guesser_reference import HALF_PI, TWO_PI, interpolate
from guesser_registry import ALPHA_MAX, ALPHA_MIN, N_GRID, log_params_row, scaling_rows
from synthetic_spectra import MAX_POINTS, sample_spectrum


def fast_inputs(frequencies, impedances, n_grid=N_GRID):
    """(x, scalars, omega_c, z_c) like the runtime's, vectorised for speed.

    Differs from guesser_reference only in the last bits (summation order).
    """
    f = np.asarray(frequencies, dtype=np.float64)
    z = np.asarray(impedances, dtype=np.complex128)
    mag = np.abs(z)
    keep = (f > 0) & (mag > 0)
    w = np.maximum(-z.imag[keep] / mag[keep], 0.0)
    total = w.sum()
    if total >= 1e-9:
        omega_c = math.exp(np.dot(w, np.log(TWO_PI * f[keep])) / total)
        z_c = math.exp(np.dot(w, np.log(mag[keep])) / total)
    else:
        omega_c = math.exp(float(np.mean(np.log(TWO_PI * f))))
        z_c = float(np.sort(mag)[len(z) // 2])
    order = np.argsort(f, kind="stable")
    lf = np.log10(f[order])
    zs = z[order]
    raw = np.angle(zs)
    step_phase = np.diff(raw)
    step_phase -= 2 * math.pi * np.floor((step_phase + math.pi) / (2 * math.pi))
    ph = raw[0] + np.concatenate([[0.0], np.cumsum(step_phase)])
    span = lf[-1] - lf[0]
    grid = np.arange(n_grid) * (span / (n_grid - 1)) + lf[0]
    x = np.empty((3, n_grid))
    x[0] = interpolate(lf, np.log10(mag[order]), grid) - math.log10(z_c)
    x[1] = interpolate(lf, ph, grid) / HALF_PI
    x[2] = (grid - math.log10(omega_c / TWO_PI)) * 0.25
    scalars = np.array([span * 0.125, math.log10(len(f)) * 0.5])
    return x, scalars, omega_c, z_c


def raw_targets(values, omega_c, z_c, param_names):
    """Targets before standardisation: the decoding rescale undone, log10 where logarithmic."""
    values = np.asarray(values, dtype=np.float64)
    log_params = np.asarray(log_params_row(param_names)) != 0.0
    rows = scaling_rows(param_names)
    clamped = np.where(log_params, values, np.clip(values, ALPHA_MIN, ALPHA_MAX))
    out = np.empty(len(values))
    for j, (a, b, c, ref) in enumerate(rows):
        exponent = b + (c * clamped[int(ref)] if ref >= 0 else 0.0)
        scaled = values[j] / (z_c ** a * omega_c ** exponent)
        out[j] = math.log10(scaled) if log_params[j] else clamped[j]
    return out


def build_dataset(model, count, seed, noise=None, cut_slowest=False, keep_spectra=False):
    """Arrays for `count` spectra of one topology, reproducible from `seed`."""
    rng = np.random.default_rng(seed)
    p = model.n_params
    data = {
        "x": np.empty((count, 3, N_GRID), dtype=np.float32),
        "scalars": np.empty((count, 2), dtype=np.float32),
        "targets": np.empty((count, p)),
        "values": np.empty((count, p)),
        "omega_c": np.empty(count),
        "z_c": np.empty(count),
    }
    if keep_spectra:
        data["frequencies"] = np.full((count, MAX_POINTS), np.nan)
        data["impedances"] = np.full((count, MAX_POINTS), np.nan, dtype=np.complex128)
        data["n_points"] = np.empty(count, dtype=np.int64)
    for i in range(count):
        spec = sample_spectrum(rng, model.key, model.circuit, noise, cut_slowest)
        x, scalars, omega_c, z_c = fast_inputs(spec.frequencies, spec.impedances)
        data["x"][i], data["scalars"][i] = x, scalars
        data["omega_c"][i], data["z_c"][i] = omega_c, z_c
        data["values"][i] = spec.values
        data["targets"][i] = raw_targets(spec.values, omega_c, z_c, model.param_names)
        if keep_spectra:
            n = len(spec.frequencies)
            data["frequencies"][i, :n] = spec.frequencies
            data["impedances"][i, :n] = spec.impedances
            data["n_points"][i] = n
    return data


def spectra_of(data):
    """The stored (frequencies, impedances) pairs of a dataset built with keep_spectra."""
    return [(data["frequencies"][i, :n], data["impedances"][i, :n])
            for i, n in enumerate(data["n_points"])]


def cached_dataset(cache_dir: Path, name: str, build):
    """Load `name`.npz from the cache, or build it with `build()` and store it."""
    path = Path(cache_dir) / f"{name}.npz"
    if path.exists():
        with np.load(path) as stored:
            return {k: stored[k] for k in stored.files}
    data = build()
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, **data)
    tmp.replace(path)
    return data
