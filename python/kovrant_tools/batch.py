"""Fit one circuit to many spectra, on threads or Dask workers, into one frame.

Every spectrum goes through `_fit_one`, so per-spectrum behaviour (start
point, fixed parameters, bounds) lives in one place; the batch machinery only
cuts the input into chunks of consecutive spectra, runs the chunks, and puts
one row per spectrum back in input order. Chunks are the unit of work for
threads, Dask tasks, warm-start chains and checkpoints alike, so results do not
depend on how many threads or workers ran them.

Rows are kept by input position, so ids that compare equal (None and NaN, say)
never share a row. A checkpoint stores beside each row a digest of the input
it was fitted from, and beside all rows the settings they were fitted with, so
that a rerun reuses only the rows that a fit of its own input would give.
"""

from __future__ import annotations

import hashlib
import inspect
import json
import math
import os
import pickle
import threading
import time
import warnings
from collections.abc import Iterable, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor
from concurrent.futures import wait as wait_for_threads
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import kovrant

from ._optional import require
from .fitting import Strategy, as_circuit, solve
from .readers import read_spectra
from .spectrum import as_arrays, missing_spectrum_columns
from .strategies import STRATEGIES, thorough_fit

if TYPE_CHECKING:
    import pandas as pd

    from .spectrum import SpectrumLike

# Failures that belong to one spectrum (bad data, a fit that cannot run, a
# warning turned into an error) and go into its row; anything else (a missing
# module, a bug) stops the batch.
SPECTRUM_ERRORS = (ValueError, TypeError, ArithmeticError, OSError, Warning)
# Columns after the parameters and their standard errors, in frame order.
OUTCOME_COLUMNS = ("chi_square", "success", "impedance_evals", "seconds", "error")
STDERR_SUFFIX = "_stderr"
# The checkpoint's column after a row's values: the digest of the input the row was fitted from.
DIGEST_COLUMN = "input_digest"
# The Parquet metadata key under which a checkpoint keeps the settings of its rows.
SETTINGS_KEY = b"kovrant_tools.fit_many.settings"
DEFAULT_CHUNK_SIZE = 32
# Seconds between checkpoint writes; the last rows are always written at the end.
CHECKPOINT_INTERVAL = 5.0
# Seconds the main thread blocks at most while waiting for chunks, so that
# Ctrl-C (handled only on the main thread, between bytecodes) stops promptly.
POLL_INTERVAL = 0.1


class FitManyInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped `fit_many`; ``results`` holds the rows finished so far."""

    def __init__(self, results: pd.DataFrame) -> None:
        super().__init__(f"fit_many interrupted after {len(results)} spectra; the finished rows are in .results")
        self.results = results


class FitManyStopped(RuntimeError):
    """The Dask client closed while `fit_many` ran; ``results`` holds the rows finished so far."""

    def __init__(self, message: str, results: pd.DataFrame) -> None:
        super().__init__(message)
        self.results = results


@dataclass(frozen=True)
class _Settings:
    """What every chunk needs besides its spectra; pickled to Dask workers."""

    fit_options: dict = field(default_factory=dict)
    fixed: object = None
    bounds: object = None
    warm_start: bool = False
    poor_fit: float = 1e-3
    names: tuple = ()
    strategy: str = "fast"


@dataclass
class _Outcome:
    params: dict
    stderr: dict | None
    chi_square: float
    success: bool
    impedance_evals: int


def fit_many(spectra: Iterable[SpectrumLike] | Mapping[Any, SpectrumLike] | str | os.PathLike[str] | pd.DataFrame,
             circuit: kovrant.Circuit | str, *, by: str | Sequence[str] | None = None, threads: int | None = None,
             warm_start: bool = False, poor_fit: float = 1e-3, progress: bool | None = None,
             checkpoint: str | os.PathLike[str] | None = None, client: Any = None,
             chunk_size: int = DEFAULT_CHUNK_SIZE, fixed: Any = None, bounds: Any = None,
             strategy: Strategy = "fast", **fit_options: Any) -> pd.DataFrame:
    """Fit `circuit` to every spectrum of `spectra`; one row per spectrum, in input order.

    spectra: a list or any iterable of spectra (a ``(frequencies, impedances)``
    pair, a dict or DataFrame with battery-data columns, or an object with
    ``.frequencies`` and ``.impedances``), with a ``spectrum`` id column holding
    the position; a mapping of id to spectrum (``spectrum`` holds the key); a
    directory, whose files are read with ``kovrant_tools.read_spectra`` (id
    columns ``file`` and ``sweep``); or a long DataFrame with ``by`` naming its
    id column(s), one spectrum per group in order of first appearance (a
    frame without battery-data columns is refused before any fit). Every
    spectrum gets its own row, even where ids compare equal (None and NaN).

    circuit: a ``kovrant.Circuit``, a notation or a model name.

    The frame holds the id columns, one column per parameter, ``<name>_stderr``
    per parameter, then ``chi_square``, ``success``, ``impedance_evals`` (model
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
    progress: a tqdm bar; None shows it when stderr is a terminal and tqdm is
    installed.
    checkpoint: a Parquet file (needs pyarrow); rows are saved there as they
    finish, each with a digest of the spectrum it was fitted from, and the file
    records the settings (circuit, method, weight, fixed, bounds, the other
    options). A rerun with the same file reuses the rows fitted from the same
    spectrum (rows with an error count as finished) and fits the others; a
    spectrum whose data changed is refitted and its old row replaced, with a
    warning. A file written with other settings is refused (ValueError naming
    them), before any fit.
    client: a ``dask.distributed.Client``; chunks then run as Dask tasks. If
    the client closes mid-run, `FitManyStopped` says where the finished rows
    were saved and holds them as ``results``.
    fixed, bounds: passed to ``kovrant_tools.fit`` for every spectrum.
    strategy: "fast" (default: Circuit.fit's walk, the cheapest per spectrum)
    or "thorough" (``kovrant_tools.fit``'s default: also the boundary faces and,
    for circuits without a network, data-driven starts; about twice the CPU).
    fit_options: other keyword arguments of ``Circuit.fit`` (method, weight,
    max_iterations, seed, ...).

    Ctrl-C stops promptly: the rows done so far are saved to the checkpoint and
    raised with `FitManyInterrupted` (a KeyboardInterrupt) as its ``results``.
    """
    require("pandas", "fit_many")
    circuit = as_circuit(circuit)
    names = _parameter_names(circuit)
    settings = _settings(fit_options, fixed, bounds, warm_start, poor_fit, names, strategy)
    threads = _thread_count(threads)
    chunk_size = _positive_int(chunk_size, "chunk_size")
    if checkpoint is not None:
        require("pyarrow", "checkpoint=")
    if client is not None:
        require("dask.distributed", "client=")
    id_names, items, total = _items(spectra, by)
    store = _RowStore(id_names, names, checkpoint, None if checkpoint is None else _settings_record(circuit, settings))
    bar = _progress_bar(progress, total)
    try:
        chunks = _chunks(store.pending(items), chunk_size)
        if client is not None:
            _run_on_dask(client, chunks, circuit, settings, store, bar)
        else:
            _run_on_threads(threads, chunks, circuit, settings, store, bar)
    except KeyboardInterrupt:
        store.save()
        raise FitManyInterrupted(store.frame()) from None
    except BaseException as error:  # Dask may report a closed client as a cancelled future, a BaseException
        store.save()
        if client is not None and _client_closed(client):
            raise FitManyStopped(_stopped_message(store, len(store.rows)), store.frame()) from error
        raise
    finally:
        if bar is not None:
            bar.close()
    store.save(complete=True)
    return store.frame()


def _stopped_message(store, finished):
    if store.checkpoint is None:
        where = "held in this error's .results (checkpoint= would also save them to a file)"
    else:
        where = (f"saved in the checkpoint {store.checkpoint.path} (a rerun with checkpoint= that file fits only the "
                 "rest) and held in this error's .results")
    return f"the Dask client closed while fit_many ran: the {finished} rows finished so far are {where}"


# --- one spectrum ---------------------------------------------------------


def _fit_one(circuit, frequencies, impedances, settings, start=None):
    """Fits one spectrum from `start` (name -> value), or from the default start when None."""
    if settings.strategy == "thorough":
        report = thorough_fit((frequencies, impedances), circuit, fixed=settings.fixed, bounds=settings.bounds,
                              start=start, **settings.fit_options)
        return _Outcome(report.params, report.stderr, report.chi_square, report.success, report.impedance_evals)
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
    """(position, input digest, row values after the ids) for consecutive items; stops early once `stop` is set.

    An item is (position, spectrum, saved): `saved` maps input digests to the
    rows a checkpoint holds under the item's ids (None: no checkpoint, and no
    digest); a row fitted from this same input is reused instead of refitted.
    """
    rows = []
    start = None
    for position, spectrum, saved in chunk:
        if stop is not None and stop.is_set():
            break
        began = time.perf_counter()
        arrays, failure, digest = _read_input(spectrum, with_digest=saved is not None)
        if saved and digest in saved:
            rows.append((position, digest, saved[digest]))
            start = None
            continue
        outcome = None
        if arrays is not None:
            try:
                outcome = _warm_fit(circuit, *arrays, settings, start if settings.warm_start else None)
            except SPECTRUM_ERRORS as error:
                failure = error
        rows.append((position, digest, _row_values(settings.names, outcome, failure, time.perf_counter() - began)))
        start = None if outcome is None or _is_poor(outcome, len(arrays[0]), settings.poor_fit) else outcome.params
    return rows


def _read_input(spectrum, *, with_digest):
    """(arrays or None, the error that stopped reading or None, digest or None) of one spectrum."""
    try:
        arrays = _as_arrays(spectrum)
    except SPECTRUM_ERRORS as error:
        return None, error, _error_digest(error) if with_digest else None
    return arrays, None, _spectrum_digest(*arrays) if with_digest else None


def _as_arrays(spectrum):
    """(frequencies, impedances) of one spectrum; a file that could not be read arrives as its error."""
    if isinstance(spectrum, BaseException):
        raise spectrum
    return as_arrays(spectrum)


def _spectrum_digest(frequencies, impedances):
    digest = hashlib.sha256()
    for array, dtype in ((frequencies, "<f8"), (impedances, "<c16")):
        array = np.ascontiguousarray(array, dtype=dtype)
        digest.update(str(array.size).encode())
        digest.update(array.tobytes())
    return digest.hexdigest()


def _error_digest(error):
    """The digest of an input that gave no spectrum: its error, so that the same failure counts as the same input."""
    return hashlib.sha256(f"error: {type(error).__name__}: {error}".encode()).hexdigest()


# --- input ------------------------------------------------------------------


def _parameter_names(circuit):
    names = circuit.param_names()
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise ValueError(f"the circuit repeats the parameter name(s) {', '.join(map(repr, repeated))}, so they "
                         "cannot each have a column; give its elements distinct labels")
    return names


def _fit_parameters():
    signature = inspect.signature(kovrant.Circuit.fit)
    return {name: parameter for name, parameter in signature.parameters.items()
            if name not in ("self", "frequencies", "impedances")}


def _settings(fit_options, fixed, bounds, warm_start, poor_fit, names, strategy):
    unknown = sorted(set(fit_options) - set(_fit_parameters()))
    if unknown:
        raise TypeError(f"fit_many() got unexpected keyword argument(s) {', '.join(map(repr, unknown))}")
    if strategy not in STRATEGIES:
        raise ValueError(f"unknown strategy {strategy!r}, expected one of {', '.join(map(repr, STRATEGIES))}")
    if not isinstance(poor_fit, int | float) or not poor_fit > 0:
        raise ValueError(f"poor_fit must be a positive number, got {poor_fit!r}")
    return _Settings(dict(fit_options), fixed, bounds, bool(warm_start), float(poor_fit), tuple(names), strategy)


def _settings_record(circuit, settings):
    """Each setting the rows depend on, as text that is equal for equal settings (a checkpoint keeps it)."""
    options = {name: parameter.default for name, parameter in _fit_parameters().items()}
    options.update(settings.fit_options)
    return {
        # The pickled form holds the tree, the values and whether they were given.
        "circuit": hashlib.sha256(pickle.dumps(circuit, protocol=4)).hexdigest(),
        "method": _canonical(options.pop("method")),
        "weight": _canonical(options.pop("weight")),
        "fixed": _canonical(settings.fixed),
        "bounds": _canonical(settings.bounds),
        "options": _canonical(options),
        "warm_start": _canonical(settings.warm_start),
        "poor_fit": _canonical(settings.poor_fit),
        "strategy": _canonical(settings.strategy),
    }


def _canonical(value):
    """Text equal for equal values: mappings in key order, numbers exactly, arrays as lists."""
    if isinstance(value, Mapping):
        return "{" + ", ".join(sorted(f"{_canonical(k)}: {_canonical(v)}" for k, v in value.items())) + "}"
    if isinstance(value, list | tuple | set | frozenset | np.ndarray):
        items = [_canonical(item) for item in value]
        return "[" + ", ".join(sorted(items) if isinstance(value, set | frozenset) else items) + "]"
    if isinstance(value, bool | np.bool_):
        return repr(bool(value))
    if isinstance(value, int | np.integer):
        return repr(int(value))
    if isinstance(value, float | np.floating):
        return repr(float(value))
    return repr(value)


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
    # Every group has the frame's columns: without spectrum columns no group could be fitted.
    lacking = missing_spectrum_columns(frame.columns)
    if lacking:
        raise ValueError(f"no spectrum can be formed from the frame, whose columns are {list(frame.columns)}: "
                         f"it has no {lacking}")
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
        if not _client_closed(client):
            client.cancel(list(store.in_flight))
        raise


def _client_closed(client):
    return getattr(client, "status", None) in ("closing", "closed")


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
        tqdm = require("tqdm.auto", "progress=True").tqdm
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
    """Finished rows by input position, the ids of every position, and the checkpoint they go to."""

    def __init__(self, id_names, names, checkpoint_path, settings_record):
        self.columns = [*id_names, *names, *(name + STDERR_SUFFIX for name in names), *OUTCOME_COLUMNS]
        self.id_count = len(id_names)
        self.checkpoint = (None if checkpoint_path is None else
                           _Checkpoint(checkpoint_path, self.columns, self.id_count, settings_record))
        self.ids = []  # by position
        self.rows = {}  # position -> (row values after the ids, input digest)
        self.in_flight = set()

    def pending(self, items):
        """(position, spectrum, saved rows under its ids or None) of every item, recording its ids."""
        for ids, spectrum in items:
            position = len(self.ids)
            self.ids.append(ids)
            saved = None if self.checkpoint is None else self.checkpoint.saved.get(_id_key(ids), {})
            yield position, spectrum, saved

    def add(self, chunk_rows, bar):
        for position, digest, values in chunk_rows:
            self.rows[position] = (values, digest)
        if self.checkpoint is not None:
            self.checkpoint.maybe_save(self)
        if bar is not None:
            bar.update(len(chunk_rows))

    def save(self, complete=False):
        if self.checkpoint is not None:
            self.checkpoint.save(self, complete)

    def finished_rows(self):
        """(ids, values, digest) of the finished positions, in input order."""
        return [(self.ids[position], *self.rows[position]) for position in sorted(self.rows)]

    def frame(self):
        """The finished rows in input order (all rows, once the run is complete)."""
        return _frame([(*ids, *values) for ids, values, _ in self.finished_rows()], self.columns, self.id_count)


def _row_values(names, outcome, error, seconds):
    """A row after its ids: the fit's values, or NaN values and the error's text."""
    if outcome is None:
        nan = [math.nan] * len(names)
        return (*nan, *nan, math.nan, False, None, seconds, f"{type(error).__name__}: {error}")
    stderr = outcome.stderr or {}
    return (*(outcome.params[name] for name in names), *(stderr.get(name, math.nan) for name in names),
            outcome.chi_square, bool(outcome.success), int(outcome.impedance_evals), seconds, None)


def _frame(rows, columns, id_count):
    import pandas as pd

    frame = pd.DataFrame.from_records(rows, columns=columns)
    frame["success"] = frame["success"].astype(bool)
    frame["impedance_evals"] = frame["impedance_evals"].astype("Int64")
    frame["error"] = frame["error"].astype(object).where(frame["error"].notna(), None)
    value_columns = columns[id_count:-len(OUTCOME_COLUMNS)] + ["chi_square", "seconds"]
    frame[value_columns] = frame[value_columns].astype(np.float64)
    return frame


class _Checkpoint:
    """Finished rows kept in a Parquet file with the digest of each row's input and the settings of all,
    rewritten whole (atomically) as rows come in."""

    def __init__(self, path, columns, id_count, settings_record):
        self.path = Path(path)
        self.columns = columns
        self.id_count = id_count
        self.settings_record = settings_record
        self.last_save = time.monotonic()
        self.saved = {}  # id key -> {input digest: row values after the ids}
        self.saved_ids = {}  # (id key, input digest) -> the ids as saved
        if self.path.exists():
            self._load()

    def _load(self):
        import pyarrow.parquet as pq

        table = pq.read_table(self.path)
        record = (table.schema.metadata or {}).get(SETTINGS_KEY)
        if record is None or table.column_names != [*self.columns, DIGEST_COLUMN]:
            raise ValueError(f"checkpoint {self.path} holds the columns {table.column_names}, not those of this "
                             f"batch {[*self.columns, DIGEST_COLUMN]} with its settings; use another file for "
                             "another circuit or input")
        self._check_settings(json.loads(record))
        frame = table.to_pandas()
        for values in frame.astype(object).itertuples(index=False, name=None):
            key, digest = _id_key(values[:self.id_count]), values[-1]
            self.saved.setdefault(key, {})[digest] = tuple(values[self.id_count:-1])
            self.saved_ids[key, digest] = values[:self.id_count]

    def _check_settings(self, saved):
        differ = [name for name in self.settings_record if saved.get(name) != self.settings_record[name]]
        if differ:
            details = ", ".join(name if name == "circuit" else
                                f"{name} (saved {saved.get(name)}, now {self.settings_record[name]})"
                                for name in differ)
            raise ValueError(f"checkpoint {self.path} holds fits made with other settings: {details}; use another "
                             "file, or delete this one to refit")

    def maybe_save(self, store):
        if time.monotonic() - self.last_save >= CHECKPOINT_INTERVAL:
            self.save(store)

    def save(self, store, complete=False):
        import pyarrow as pa
        import pyarrow.parquet as pq

        finished = store.finished_rows()
        finished += self._kept_rows(store, finished, complete)
        frame = _frame([(*ids, *values) for ids, values, _ in finished], self.columns, self.id_count)
        frame[DIGEST_COLUMN] = [digest for _, _, digest in finished]
        table = pa.Table.from_pandas(frame, preserve_index=False)
        table = table.replace_schema_metadata({**(table.schema.metadata or {}),
                                               SETTINGS_KEY: json.dumps(self.settings_record).encode()})
        partial = self.path.with_name(self.path.name + ".partial")
        pq.write_table(table, partial)
        os.replace(partial, self.path)
        self.last_save = time.monotonic()

    def _kept_rows(self, store, finished, complete):
        """(ids, values, digest) of the saved rows this run has not given again.

        Once the whole input has run, those under its ids were fitted from data
        it no longer holds: they are dropped, with a warning.
        """
        given = {(_id_key(ids), digest) for ids, _, digest in finished}
        batch_keys = {_id_key(ids) for ids in store.ids} if complete else set()
        kept, replaced = [], []
        for key, by_digest in self.saved.items():
            for digest, values in by_digest.items():
                if (key, digest) in given:
                    continue
                if key in batch_keys:
                    replaced.append(key)
                    continue
                kept.append((self.saved_ids[key, digest], values, digest))
        if replaced:
            shown = ", ".join(map(repr, replaced[:5])) + (", ..." if len(replaced) > 5 else "")
            warnings.warn(f"checkpoint {self.path} held rows fitted from other data for {len(replaced)} spectra "
                          f"(ids {shown}); they were refitted and their old rows replaced", UserWarning, stacklevel=5)
        return kept
