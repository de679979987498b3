"""What every `kovrant` subcommand shares: reading the spectra it is given, and saving figures.

A subcommand takes one or more files, folders or quoted glob patterns; each
file may hold several sweeps. Options choose the reader (--format,
--columns), the sweep (--sweep) and trim the points (--fmin, --fmax,
--drop-inductive) before any work.
"""
from __future__ import annotations

import argparse
import glob
import sys
from dataclasses import dataclass
from pathlib import Path

from . import preprocessing
from .readers import FORMATS, read_spectra
from .spectrum import Spectrum


@dataclass(frozen=True)
class Item:
    """One spectrum to work on, or the error that kept its file from being read."""

    label: str                   # file name, with " sweep N" for a file of several sweeps
    path: Path
    sweep: int | None
    spectrum: Spectrum | None
    error: Exception | None = None


def add_input_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", metavar="FILE",
                        help="spectrum files, folders (every file in them) or quoted glob patterns ('runs/*.mpt')")
    parser.add_argument("--format", choices=tuple(FORMATS), default=None,
                        help="the file format (default: recognised from the content)")
    parser.add_argument("--columns", default=None, metavar="MAP",
                        help="which columns hold what, for tables the reader does not recognise "
                             "(read by kovrant_tools.readers.ColumnMap.parse)")
    parser.add_argument("--sweep", type=_sweep_index, default=None, metavar="N",
                        help="only sweep N (from 0) of each file that holds several")
    parser.add_argument("--fmin", type=_frequency, default=None, metavar="HZ", help="leave out points below HZ")
    parser.add_argument("--fmax", type=_frequency, default=None, metavar="HZ", help="leave out points above HZ")
    parser.add_argument("--drop-inductive", action="store_true",
                        help="leave out the points with Im Z > 0 (cable inductance at high frequency)")


def _sweep_index(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"sweeps count from 0, got {value}")
    return value


def _frequency(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"a frequency must be finite and above 0 Hz, got {text}")
    return value


def input_paths(inputs: list[str]) -> list[Path]:
    """The files named by the inputs: files as given, a folder's files sorted by name, glob matches sorted."""
    paths = []
    for text in inputs:
        path = Path(text)
        if path.is_dir():
            paths.extend(sorted(p for p in path.iterdir() if p.is_file() and not p.name.startswith(".")))
        elif not path.exists() and glob.has_magic(text):
            matches = sorted(Path(match) for match in glob.glob(text) if Path(match).is_file())
            if not matches:
                raise ValueError(f"no file matches {text!r}")
            paths.extend(matches)
        else:
            paths.append(path)
    return paths


def read_items(args: argparse.Namespace) -> list[Item]:
    """Every spectrum the inputs name, trimmed as the options say.

    With one input file, an unreadable file is a user error (raised); with
    several, its error becomes its item so that the others still run.
    """
    paths = input_paths(args.inputs)
    options = {"format": args.format}
    if args.columns is not None:
        from .readers import ColumnMap

        options["columns"] = ColumnMap.parse(args.columns)
    items = []
    for path in paths:
        try:
            sweeps = read_spectra(path, **options)
            if args.sweep is not None:
                if args.sweep >= len(sweeps):
                    raise ValueError(f"{path}: --sweep {args.sweep}, but the file holds {len(sweeps)} "
                                     f"sweep{'s' if len(sweeps) != 1 else ''} (0 to {len(sweeps) - 1})")
                sweeps = [sweeps[args.sweep]]
        except (ValueError, OSError, ImportError) as error:
            if len(paths) == 1:
                raise
            items.append(Item(path.name, path, None, None, error))
            continue
        for spectrum in sweeps:
            sweep = spectrum.metadata.get("sweep")
            several = len(sweeps) > 1 or args.sweep is not None
            items.append(Item(path.name + (f" sweep {sweep}" if several else ""), path, sweep if several else None,
                              _trimmed(spectrum, args)))
    return items


def _trimmed(spectrum, args):
    if args.fmin is not None or args.fmax is not None:
        spectrum = preprocessing.crop(spectrum, f_min=args.fmin, f_max=args.fmax)
    if args.drop_inductive:
        spectrum = preprocessing.drop_inductive(spectrum)
    return spectrum


def output_folder(folder: Path) -> Path:
    """`folder`, created if need be; a clear error when a file of that name is in the way."""
    if folder.exists() and not folder.is_dir():
        raise ValueError(f"--out {folder}: a file of that name exists; --out names a folder")
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def save_figure(draw, path: Path) -> bool:
    """Draws a figure with `draw()` and writes it to `path` as PNG; without matplotlib, a note on stderr.

    The command is its own program, so it chooses the non-interactive backend for itself.
    """
    try:
        import matplotlib
    except ImportError:
        print(f"kovrant: note: no plot {path.name}: matplotlib is not installed (pip install 'kovrant[plot]')",
              file=sys.stderr)
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure = draw()
    try:
        figure.savefig(path, dpi=120)
    finally:
        plt.close(figure)
    return True
