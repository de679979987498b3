"""Network inputs and normalised targets for synthetic spectra, cached on disk."""
from __future__ import annotations

import math
import multiprocessing
import time
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, as_completed, wait
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import broad_spectra, synthetic_spectra
from .fit_targets import best_fit, canonical_order
from .guesser_reference import HALF_PI, TWO_PI, interpolate
from .guesser_registry import (ALPHA_MAX, ALPHA_MIN, MODELS_BY_KEY, N_GRID, log_params_row,
                               scaling_rows)
from .synthetic_spectra import MAX_POINTS

# A best-fit value this close to the lower bound of 1e-12 is a degenerate fit
# (an element switched off), not a basin a guess should aim for.
DEGENERATE_BELOW = 1e-10


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


def narrow_sampler(model, noise=None, cut_slowest=False):
    """Spectra of the distribution the shipped networks were trained on, true values."""
    def sample(rng):
        spec = synthetic_spectra.sample_spectrum(rng, model.key, model.circuit, noise, cut_slowest)
        return spec.frequencies, spec.impedances, spec.values
    return sample


def broad_sampler(model, noise=None):
    """Spectra of the broad distribution; a richer one gets its best-fit target."""
    def sample(rng):
        while True:
            spec = broad_spectra.sample_spectrum(rng, model.key, model.circuit, noise)
            if not spec.richer:
                return spec.frequencies, spec.impedances, spec.values
            values, _ = best_fit(model.circuit, model.param_names, spec.values,
                                 spec.frequencies, spec.impedances, seed=int(rng.integers(2**62)))
            values = canonical_order(model.key, model.param_names, values)
            if usable_target(model, values):
                return spec.frequencies, spec.impedances, values
    return sample


def usable_target(model, values):
    """Whether fitted values make a sound target: finite, no element switched off."""
    values = np.asarray(values, dtype=np.float64)
    log_params = np.asarray(log_params_row(model.param_names)) != 0.0
    return bool(np.all(np.isfinite(values)) and np.all(values[log_params] > DEGENERATE_BELOW))


def build_dataset(model, count, seed, noise=None, cut_slowest=False, keep_spectra=False,
                  sampler=None):
    """Arrays for `count` spectra of one topology, reproducible from `seed`.

    `sampler(rng) -> (frequencies, impedances, target values)` defaults to the
    narrow distribution with the given noise and window cut.
    """
    sample = sampler or narrow_sampler(model, noise, cut_slowest)
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
        frequencies, impedances, values = sample(rng)
        x, scalars, omega_c, z_c = fast_inputs(frequencies, impedances)
        data["x"][i], data["scalars"][i] = x, scalars
        data["omega_c"][i], data["z_c"][i] = omega_c, z_c
        data["values"][i] = values
        data["targets"][i] = raw_targets(values, omega_c, z_c, model.param_names)
        if keep_spectra:
            n = len(frequencies)
            data["frequencies"][i, :n] = frequencies
            data["impedances"][i, :n] = impedances
            data["n_points"][i] = n
    return data


def spectra_of(data):
    """The stored (frequencies, impedances) pairs of a dataset built with keep_spectra."""
    return [(data["frequencies"][i, :n], data["impedances"][i, :n])
            for i, n in enumerate(data["n_points"])]


def store(path: Path, data) -> None:
    """Write `data` to `path` (.npz) atomically, so a killed run leaves no half file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, **data)
    tmp.replace(path)


def load(path: Path):
    with np.load(path) as stored:
        return {k: stored[k] for k in stored.files}


def cached_dataset(cache_dir: Path, name: str, build):
    """Load `name`.npz from the cache, or build it with `build()` and store it."""
    path = Path(cache_dir) / f"{name}.npz"
    if path.exists():
        return load(path)
    data = build()
    store(path, data)
    return data


SAMPLERS = {"narrow": narrow_sampler, "broad": broad_sampler}


class Paused(Exception):
    """The run reached its time limit; everything finished so far is on disk."""


@dataclass(frozen=True)
class ChunkJob:
    """What one cached dataset holds; chunk `i` is drawn from seed [seed, i]."""
    key: str
    distribution: str
    seed: int
    noise: float | None = None
    keep_spectra: bool = False


def build_chunk(job: ChunkJob, size: int, index: int):
    model = MODELS_BY_KEY[job.key]
    return build_dataset(model, size, [job.seed, index], keep_spectra=job.keep_spectra,
                         sampler=SAMPLERS[job.distribution](model, job.noise))


def chunked_dataset(folder: Path, job: ChunkJob, count: int, chunk: int, workers=1, deadline=None):
    """`count` rows of `job`, built and cached `chunk` at a time so that a stopped build resumes.

    Missing chunks are built by `workers` processes; past `deadline` (a
    time.time() value) no new chunk is started and Paused is raised.
    """
    starts = list(range(0, count, chunk))
    paths = [Path(folder) / f"chunk{index:04d}.npz" for index in range(len(starts))]
    missing = [i for i, path in enumerate(paths) if not path.exists()]

    def check_time():
        if deadline is not None and time.time() > deadline:
            raise Paused(f"time limit reached while building {folder}")

    if workers > 1 and len(missing) > 1:
        context = multiprocessing.get_context("spawn")
        with ProcessPoolExecutor(workers, mp_context=context) as pool:
            pending = {}
            for i in missing:
                check_time()
                pending[pool.submit(build_chunk, job, min(chunk, count - starts[i]), i)] = i
                if len(pending) >= workers:
                    done, _ = wait(pending, return_when=FIRST_COMPLETED)
                    for future in done:
                        store(paths[pending.pop(future)], future.result())
            for future in as_completed(pending):
                store(paths[pending[future]], future.result())
    else:
        for i in missing:
            check_time()
            store(paths[i], build_chunk(job, min(chunk, count - starts[i]), i))
    parts = [load(path) for path in paths]
    return without_degenerate_targets({key: np.concatenate([part[key] for part in parts]) for key in parts[0]})


# Decades from the spectrum's own scale beyond which a target is degenerate:
# ordinary targets stay within about 8, while a best fit whose element went
# off to infinity (an open parallel resistor, a shorted CPE) lands at tens to
# hundreds, and a few overflow.
TARGET_LIMIT = 10.0


def without_degenerate_targets(data):
    """The rows whose targets all lie within TARGET_LIMIT (NaN and infinity fail too)."""
    keep = np.all(np.abs(data["targets"]) <= TARGET_LIMIT, axis=1)
    return {key: value[keep] for key, value in data.items()}
