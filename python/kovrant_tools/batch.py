"""Fit one circuit to many spectra, on threads or Dask workers, into one frame.

Every spectrum goes through `_fit_one`, so per-spectrum behaviour (start
point, fixed parameters, bounds) lives in one place; the batch machinery only
cuts the input into chunks of consecutive spectra, runs the chunks, and puts
one row per spectrum back in input order. Chunks are the unit of work for
threads, Dask tasks, warm-start chains and checkpoints alike, so results do not
depend on how many threads or workers ran them.
"""

from __future__ import annotations

import inspect
import math
import os
import threading
import time
from collections.abc import Iterable, Mapping
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor
from concurrent.futures import wait as wait_for_threads
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import kovrant

from .fitting import as_circuit, solve
from .readers import read_spectra
from .spectrum import as_arrays

# Failures that belong to one spectrum (bad data, a fit that cannot run, a
# warning turned into an error) and go into its row; anything else (a missing
# module, a bug) stops the batch.
SPECTRUM_ERRORS = (ValueError, TypeError, ArithmeticError, OSError, Warning)
# Columns after the parameters and their standard errors, in frame order.
OUTCOME_COLUMNS = ("chi_square", "success", "evaluations", "seconds", "error")
STDERR_SUFFIX = "_stderr"
DEFAULT_CHUNK_SIZE = 32
# Seconds between checkpoint writes; the last rows are always written at the end.
CHECKPOINT_INTERVAL = 5.0
# Seconds the main thread blocks at most while waiting for chunks, so that
# Ctrl-C (handled only on the main thread, between bytecodes) stops promptly.
POLL_INTERVAL = 0.1


class FitManyInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped `fit_many`; ``results`` holds the rows finished so far."""

    def __init__(self, results):
        super().__init__(f"fit_many interrupted after {len(results)} spectra; the finished rows are in .results")
        self.results = results


@dataclass(frozen=True)
class _Settings:
    """What every chunk needs besides its spectra; pickled to Dask workers."""

    fit_options: dict = field(default_factory=dict)
    fixed: object = None
    bounds: object = None
    warm_start: bool = False
    poor_fit: float = 1e-3


@dataclass
class _Outcome:
    params: dict
    stderr: dict | None
    chi_square: float
    success: bool
    evaluations: int


def fit_many(spectra, circuit, *, by=None, threads=None, warm_start=False, poor_fit=1e-3, progress=None,
             checkpoint=None, client=None, chunk_size=DEFAULT_CHUNK_SIZE, fixed=None, bounds=None, **fit_options):
    """Fit `circuit` to every spectrum of `spectra`; one row per spectrum, in input order.

    spectra: a list or any iterable of spectra (a ``(frequencies, impedances)``
    pair, a dict or DataFrame with battery-data columns, or an object with
    ``.frequencies`` and ``.impedances``), with a ``spectrum`` id column holding
    the position; a mapping of id to spectrum (``spectrum`` holds the key); a
    directory, whose files are read with ``kovrant_tools.read_spectra`` (id
    columns ``file`` and ``sweep``); or a long DataFrame with ``by`` naming its
    id column(s), one spectrum per group in order of first appearance.

    circuit: a ``kovrant.Circuit``, a notation or a model name.

    The frame holds the id columns, one column per parameter, ``<name>_stderr``
    per parameter, then ``chi_square``, ``success``, ``evaluations`` (model
    evaluations), ``seconds`` and ``error``: None when the fit ran, else the
    exception's type and message, with NaN parameters; the batch goes on.

    threads: worker threads (default: every core this process may use;
    unused with `client`).
    Spectra are handed out in chunks of `chunk_size` consecutive spectra.
    warm_start: within a chunk, start each fit from the previous spectrum's
    fitted values; a fit whose mean squared weighted residual,
    chi_square / (2 N), exceeds `poor_fit` (or that fails) is redone from the
    default start (the machine-learning guess) and the better one kept, and the
    next spectrum then starts from the default again if both were poor.
    progress: a tqdm bar; None shows it when stderr is a terminal.
    checkpoint: a Parquet file; rows are saved there as they finish, and a
    rerun with the same file refits only the spectra it does not hold yet
    (rows with an error count as finished).
    client: a ``dask.distributed.Client``; chunks then run as Dask tasks.
    fixed, bounds: passed to ``kovrant_tools.fit`` for every spectrum.
    fit_options: other keyword arguments of ``Circuit.fit`` (method, weight,
    max_iterations, seed, ...).

    Ctrl-C stops promptly: the rows done so far are saved to the checkpoint and
    raised with `FitManyInterrupted` (a KeyboardInterrupt) as its ``results``.
    """
    circuit = as_circuit(circuit)
    names = _parameter_names(circuit)
    settings = _settings(fit_options, fixed, bounds, warm_start, poor_fit)
    threads = _thread_count(threads)
    chunk_size = _positive_int(chunk_size, "chunk_size")
    id_names, items, total = _items(spectra, by)
    store = _RowStore(id_names, names, checkpoint)
    bar = _progress_bar(progress, total)
    try:
        chunks = _chunks(store.pending(items, bar), chunk_size)
        if client is not None:
            _run_on_dask(client, chunks, circuit, settings, store, bar)
        else:
            _run_on_threads(threads, chunks, circuit, settings, store, bar)
    except KeyboardInterrupt:
        store.save()
        raise FitManyInterrupted(store.frame(finished_only=True)) from None
    except Exception:
        store.save()
        raise
    finally:
        if bar is not None:
            bar.close()
    store.save()
    return store.frame()


# --- one spectrum ---------------------------------------------------------


def _fit_one(circuit, frequencies, impedances, settings, start=None):
    """Fits one spectrum from `start` (name -> value), or from the default start when None."""
    solution = solve(circuit, frequencies, impedances, fixed=settings.fixed, bounds=settings.bounds, start=start,
                     **settings.fit_options)
    return _Outcome(solution.params, solution.stderr_by_name, solution.chi_square, solution.success,
                    solution.impedance_evals)


def _is_poor(outcome, point_count, poor_fit):
    mean_square = outcome.chi_square / (2 * point_count)
    return not outcome.success or not math.isfinite(mean_square) or mean_square > poor_fit


def _warm_fit(circuit, frequencies, impedances, settings, start):
    """The fit from `start`, or from the default start when that one is poor and the default does better."""
    outcome = _fit_one(circuit, frequencies, impedances, settings, start)
    if start is None or not _is_poor(outcome, len(frequencies), settings.poor_fit):
        return outcome
    fallback = _fit_one(circuit, frequencies, impedances, settings)
    return min(outcome, fallback, key=_badness)


def _badness(outcome):
    return (not outcome.success, outcome.chi_square if math.isfinite(outcome.chi_square) else math.inf)


def _fit_chunk(chunk, circuit, settings, stop=None):
    """Rows for consecutive (ids, spectrum) items; stops early once `stop` is set."""
    rows = []
    start = None
    for ids, spectrum in chunk:
        if stop is not None and stop.is_set():
            break
        began = time.perf_counter()
        try:
            frequencies, impedances = _as_arrays(spectrum)
            outcome = _warm_fit(circuit, frequencies, impedances, settings, start if settings.warm_start else None)
        except SPECTRUM_ERRORS as error:
            rows.append((ids, None, f"{type(error).__name__}: {error}", time.perf_counter() - began))
            start = None
            continue
        rows.append((ids, outcome, None, time.perf_counter() - began))
        start = None if _is_poor(outcome, len(frequencies), settings.poor_fit) else outcome.params
    return rows


def _as_arrays(spectrum):
    """(frequencies, impedances) of one spectrum; a file that could not be read arrives as its error."""
    if isinstance(spectrum, BaseException):
        raise spectrum
    return as_arrays(spectrum)


# --- input ------------------------------------------------------------------



def _parameter_names(circuit):
    names = circuit.param_names()
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise ValueError(f"the circuit repeats the parameter name(s) {', '.join(map(repr, repeated))}, so they "
                         "cannot each have a column; give its elements distinct labels")
    return names


def _fit_keywords():
    signature = inspect.signature(kovrant.Circuit.fit)
    return set(signature.parameters) - {"self", "frequencies", "impedances"}


def _settings(fit_options, fixed, bounds, warm_start, poor_fit):
    unknown = sorted(set(fit_options) - _fit_keywords())
    if unknown:
        raise TypeError(f"fit_many() got unexpected keyword argument(s) {', '.join(map(repr, unknown))}")
    if not isinstance(poor_fit, int | float) or not poor_fit > 0:
        raise ValueError(f"poor_fit must be a positive number, got {poor_fit!r}")
    return _Settings(dict(fit_options), fixed, bounds, bool(warm_start), float(poor_fit))


def _positive_int(value, name):
    if isinstance(value, bool) or not isinstance(value, int | np.integer) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return int(value)


def _thread_count(threads):
    if threads is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return _positive_int(threads, "threads")


def _items(spectra, by):
    """(id column names, iterator of (ids, spectrum), count or None)."""
    if isinstance(spectra, str | os.PathLike):
        return ("file", "sweep"), _directory_items(Path(spectra)), None
    if _is_long_frame(spectra) and by is not None:
        return _frame_items(spectra, by)
    if by is not None:
        raise ValueError("by= names the id columns of a long DataFrame; spectra is not one")
    if _is_long_frame(spectra):
        raise ValueError("a DataFrame of spectra needs by= naming its id column(s); to fit one spectrum, pass [frame]")
    if isinstance(spectra, Mapping):
        return ("spectrum",), (((key,), spectrum) for key, spectrum in spectra.items()), len(spectra)
    if not isinstance(spectra, Iterable):
        raise TypeError(f"spectra must be a list, an iterable, a mapping, a directory or a DataFrame, "
                        f"not {type(spectra).__name__}")
    total = len(spectra) if hasattr(spectra, "__len__") else None
    return ("spectrum",), (((position,), spectrum) for position, spectrum in enumerate(spectra)), total


def _is_long_frame(spectra):
    return hasattr(spectra, "groupby") and hasattr(spectra, "columns")


def _frame_items(frame, by):
    id_names = (by,) if isinstance(by, str) else tuple(by)
    missing = [name for name in id_names if name not in frame.columns]
    if missing:
        raise ValueError(f"by= names column(s) the frame lacks: {', '.join(map(repr, missing))}")
    groups = frame.groupby(list(id_names), sort=False, dropna=False)
    items = ((ids if isinstance(ids, tuple) else (ids,), group) for ids, group in groups)
    return id_names, items, groups.ngroups


def _directory_items(directory):
    if not directory.is_dir():
        raise NotADirectoryError(f"{directory} is not a directory")
    paths = sorted(p for p in directory.iterdir() if p.is_file() and not p.name.startswith("."))
    return _file_sweeps(paths, read_spectra)


def _file_sweeps(paths, read_spectra):
    for path in paths:
        try:
            sweeps = read_spectra(path)
        except (*SPECTRUM_ERRORS, ImportError) as error:
            # The file's error becomes its row, like a fit's (ImportError: a
            # format whose optional reader is not installed).
            yield (path.name, None), error
            continue
        for sweep, spectrum in enumerate(sweeps):
            yield (path.name, sweep), spectrum


def _chunks(items, size):
    chunk = []
    for item in items:
        chunk.append(item)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


# --- running ------------------------------------------------------------------


def _run_on_threads(threads, chunks, circuit, settings, store, bar):
    stop = threading.Event()
    with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="kovrant-fit") as pool:
        try:
            _drive(chunks, lambda chunk: pool.submit(_fit_chunk, chunk, circuit, settings, stop),
                   lambda pending: wait_for_threads(pending, POLL_INTERVAL, FIRST_COMPLETED).done, 2 * threads,
                   store, bar)
        except BaseException:
            # Ctrl-C or an error that is not one spectrum's: running chunks stop
            # before their next spectrum, and what they finished is kept.
            stop.set()
            pool.shutdown(wait=True, cancel_futures=True)
            for future in store.in_flight:
                if future.done() and not future.cancelled() and future.exception() is None:
                    store.add(future.result(), bar)
            raise


def _run_on_dask(client, chunks, circuit, settings, store, bar):
    from dask.distributed import wait as wait_for_dask

    def wait_first(pending):
        try:
            return wait_for_dask(pending, timeout=POLL_INTERVAL, return_when="FIRST_COMPLETED").done
        except TimeoutError:
            return ()

    window = 2 * max(1, sum(client.nthreads().values()))
    try:
        _drive(chunks, lambda chunk: client.submit(_fit_chunk, chunk, circuit, settings, pure=False), wait_first,
               window, store, bar)
    except BaseException:
        client.cancel(list(store.in_flight))
        raise


def _drive(chunks, submit, wait_first, window, store, bar):
    """Keeps at most `window` chunks in flight and stores each chunk's rows as it finishes."""
    for chunk in chunks:
        while len(store.in_flight) >= window:
            _collect(wait_first(store.in_flight), store, bar)
        store.in_flight.add(submit(chunk))
    while store.in_flight:
        _collect(wait_first(store.in_flight), store, bar)


def _collect(done, store, bar):
    for future in done:
        # Stored before it leaves in_flight, so that an interrupt in between loses nothing.
        store.add(future.result(), bar)
        store.in_flight.discard(future)


def _progress_bar(progress, total):
    if progress is None:
        import sys

        if not sys.stderr.isatty():
            return None
        try:
            from tqdm.auto import tqdm
        except ImportError:
            return None
    elif not progress:
        return None
    else:
        try:
            from tqdm.auto import tqdm
        except ImportError as error:
            raise ImportError("progress=True needs tqdm: pip install tqdm") from error
    return tqdm(total=total, unit="spectrum", desc="fit_many")


# --- rows, frame and checkpoint -----------------------------------------------


def _id_key(ids):
    """Ids as a hashable key in which every missing value is None (so NaN and NA match themselves)."""
    return tuple(None if _is_missing(value) else value for value in ids)


def _is_missing(value):
    try:
        return value is None or bool(value != value)
    except (TypeError, ValueError):
        return False


class _RowStore:
    """Finished rows by id, the input order, and the checkpoint they go to."""

    def __init__(self, id_names, names, checkpoint_path):
        self.names = names
        self.id_count = len(id_names)
        self.columns = [*id_names, *names, *(name + STDERR_SUFFIX for name in names), *OUTCOME_COLUMNS]
        self.checkpoint = None if checkpoint_path is None else _Checkpoint(checkpoint_path, self.columns, self.id_count)
        self.order = []
        self.rows = dict(self.checkpoint.rows) if self.checkpoint is not None else {}
        self.in_flight = set()

    def pending(self, items, bar):
        """The items not finished yet, recording the input order of all of them."""
        for ids, spectrum in items:
            key = _id_key(ids)
            self.order.append(key)
            if key in self.rows:
                if bar is not None:
                    bar.update(1)
                continue
            yield ids, spectrum

    def add(self, chunk_rows, bar):
        for ids, outcome, error, seconds in chunk_rows:
            self.rows[_id_key(ids)] = _row_values(ids, self.names, outcome, error, seconds)
        if self.checkpoint is not None:
            self.checkpoint.maybe_save(self)
        if bar is not None:
            bar.update(len(chunk_rows))

    def save(self):
        if self.checkpoint is not None:
            self.checkpoint.save(self)

    def frame(self, finished_only=False):
        keys = [key for key in self.order if key in self.rows] if finished_only else self.order
        return _frame([self.rows[key] for key in keys], self.columns, self.id_count)


def _row_values(ids, names, outcome, error, seconds):
    if outcome is None:
        nan = [math.nan] * len(names)
        return (*ids, *nan, *nan, math.nan, False, None, seconds, error)
    stderr = outcome.stderr or {}
    return (*ids, *(outcome.params[name] for name in names), *(stderr.get(name, math.nan) for name in names),
            outcome.chi_square, bool(outcome.success), int(outcome.evaluations), seconds, None)


def _frame(rows, columns, id_count):
    import pandas as pd

    frame = pd.DataFrame.from_records(rows, columns=columns)
    frame["success"] = frame["success"].astype(bool)
    frame["evaluations"] = frame["evaluations"].astype("Int64")
    frame["error"] = frame["error"].astype(object).where(frame["error"].notna(), None)
    value_columns = columns[id_count:-len(OUTCOME_COLUMNS)] + ["chi_square", "seconds"]
    frame[value_columns] = frame[value_columns].astype(np.float64)
    return frame


class _Checkpoint:
    """Finished rows kept in a Parquet file, rewritten whole (atomically) as rows come in."""

    def __init__(self, path, columns, id_count):
        self.path = Path(path)
        self.columns = columns
        self.id_count = id_count
        self.last_save = time.monotonic()
        self.rows = {}
        if self.path.exists():
            self._load()

    def _load(self):
        import pandas as pd

        _require_pyarrow()
        frame = pd.read_parquet(self.path)
        if list(frame.columns) != self.columns:
            raise ValueError(f"checkpoint {self.path} holds the columns {list(frame.columns)}, not those of this "
                             f"batch {self.columns}; use another file for another circuit or input")
        for values in frame.astype(object).itertuples(index=False, name=None):
            ids = _id_key(values[:self.id_count])
            self.rows[ids] = (*ids, *values[self.id_count:])

    def maybe_save(self, store):
        if time.monotonic() - self.last_save >= CHECKPOINT_INTERVAL:
            self.save(store)

    def save(self, store):
        _require_pyarrow()
        frame = _frame(list(store.rows.values()), self.columns, self.id_count)
        partial = self.path.with_name(self.path.name + ".partial")
        frame.to_parquet(partial, index=False)
        os.replace(partial, self.path)
        self.last_save = time.monotonic()


def _require_pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError as error:
        raise ImportError("checkpoint= writes Parquet, which needs pyarrow: pip install pyarrow") from error
