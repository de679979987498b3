"""`kovrant validate FILE...`: the linear Kramers-Kronig test of every sweep of every file.

Prints one verdict line per sweep and, with --out or --plot, writes a residual
plot per sweep. Exit status 0 when every sweep is valid, 1 when any is not,
2 on a user error (a file that cannot be read, a bad option). A missing
plotting library is a note, not an error.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

from .commands_input import add_input_arguments, output_folder, read_items, save_figure
from .validation import kramers_kronig


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser("validate", help="Kramers-Kronig test of measured spectra",
                                   description="The linear Kramers-Kronig test of every sweep of every file. "
                                               "Exit status 0 when every sweep is valid, 1 when any is not, "
                                               "2 on a user error.")
    add_input_arguments(parser)
    parser.add_argument("--out", type=Path, default=None, metavar="FOLDER",
                        help="folder for the residual plots, <file>_kk.png (default: no plots)")
    parser.add_argument("--plot", type=Path, default=None, metavar="PNG",
                        help="the residual plot's path, for a single spectrum (default: in --out)")
    for term, use in (("capacitance", "blocking electrodes"), ("inductance", "cable inductance")):
        parser.add_argument(f"--{term}", action=argparse.BooleanOptionalAction, default=None,
                            help=f"with or without a series {term} in the KK model ({use}; "
                                 "default: the test chooses)")
    parser.add_argument("--threshold", type=float, default=0.01,
                        help="largest rms relative residual of a valid spectrum (default: %(default)s)")
    parser.set_defaults(run=run)


def run(args) -> int:
    items = read_items(args)
    if args.plot is not None and len(items) > 1:
        raise ValueError(f"--plot names one file, but there are {len(items)} spectra; use --out FOLDER")
    folder = output_folder(args.out) if args.out is not None else None
    all_valid, unreadable = True, False
    for item in items:
        if item.error is not None:
            print(f"kovrant: error: {item.label}: {item.error}", file=sys.stderr)
            unreadable = True
            continue
        result = kramers_kronig(item.spectrum, capacitance=args.capacitance, inductance=args.inductance,
                                threshold=args.threshold)
        print(f"{item.label}: {result.verdict} ({len(item.spectrum)} points, M={result.n_elements}, "
              f"{result.series_terms})")
        _suggest_other_terms(item.spectrum, result, args)
        plot = args.plot or (folder / f"{item.path.stem}{_sweep_suffix(item)}_kk.png" if folder else None)
        if plot is not None:
            plot.parent.mkdir(parents=True, exist_ok=True)
            from .plots import plot_kramers_kronig

            if save_figure(lambda: plot_kramers_kronig(result, title=f"{item.label}, {result.series_terms}:\n"
                                                                      f"{result.verdict}"), plot):
                print(f"wrote {plot}")
        all_valid &= result.passed
    if unreadable:
        return 2
    return 0 if all_valid else 1


def _sweep_suffix(item):
    return "" if item.sweep is None else f"_sweep{item.sweep}"


def _suggest_other_terms(spectrum, result, args):
    """When the user forced the series terms and the test's own choice gives the other verdict, say so."""
    if args.capacitance is None and args.inductance is None:
        return
    chosen = kramers_kronig(spectrum, threshold=args.threshold)
    if chosen.passed != result.passed:
        options = " ".join(f"--{'' if value is not None else 'no-'}{term}"
                           for term, value in (("capacitance", chosen.capacitance),
                                               ("inductance", chosen.inductance)))
        print(f"kovrant: note: with {chosen.series_terms.replace(' (chosen automatically)', '')} ({options}, "
              f"or neither option to let the test choose) the spectrum is {chosen.verdict}", file=sys.stderr)
