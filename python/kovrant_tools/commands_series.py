"""kovrant series: fit one circuit to a series of spectra jointly."""
from __future__ import annotations

import argparse
import csv
from pathlib import Path

from .commands_fit import _bound_item, _fixed_item, _split
from .readers import read_spectra
from .series import fit_series


def add_parser(subparsers):
    parser = subparsers.add_parser(
        "series", help="fit a circuit to a series of spectra jointly",
        description="Fit one circuit to every spectrum of a file (its sweeps) or a directory (its files, in name "
                    "order) as one problem, with shared, law-tied and smoothed parameters. Example: kovrant series "
                    "cells/ --circuit 'R0-(R1,CPE1)-(R2,CPE2)' --shared R0.r --law 'R1.r:arrhenius(T)' "
                    "--covariates temperatures.csv --out results")
    parser.add_argument("source", type=Path, help="a file with several sweeps, or a directory of spectrum files")
    parser.add_argument("--circuit", required=True, help="notation or model name")
    parser.add_argument("--shared", action="append", default=[], metavar="NAME[:GROUP]", type=_shared_item,
                        help="one value for the whole series (or per value of covariate GROUP); repeatable")
    parser.add_argument("--law", action="append", default=[], metavar="NAME:LAW", type=_law_item,
                        help="tie a parameter to a covariate: arrhenius(T) with T in kelvin, linear(z), "
                             "quadratic(z), polynomial(z, degree); repeatable")
    parser.add_argument("--smooth", type=_smooth_value, metavar="STRENGTH|cv",
                        help="smooth every per-spectrum parameter along the series with this strength, or one "
                             "chosen by cross-validation (cv)")
    parser.add_argument("--covariates", type=Path, metavar="CSV",
                        help="a CSV with a header and one row per spectrum in series order; its columns are "
                             "covariates (otherwise they are read from the spectra's metadata)")
    parser.add_argument("--fix", action="append", default=[], type=_fixed_item, metavar="NAME[=VALUE]",
                        help="hold a parameter at VALUE (or at the circuit's value) in every spectrum; repeatable")
    parser.add_argument("--bounds", action="append", default=[], type=_bound_item, metavar="NAME=LO:HI",
                        help="narrow a parameter's bounds; repeatable")
    parser.add_argument("--weight", default="modulus", choices=("modulus", "unit"), help="residual weighting")
    parser.add_argument("--out", type=Path, help="folder for series.json, series.csv, series_parameters.png and "
                                                  "series_fits.png")
    parser.set_defaults(run=run)


def run(args) -> int:
    spectra = str(args.source) if args.source.is_dir() else read_spectra(args.source)
    report = fit_series(spectra, args.circuit, shared=dict(args.shared), laws=dict(args.law) or None,
                        smooth=args.smooth,
                        covariates=_read_covariates(args.covariates) if args.covariates else None,
                        fixed=_fixed_argument(args.fix), bounds=dict(args.bounds) or None, weight=args.weight)
    print(report)
    if args.out is not None:
        _write_outputs(args.out, report)
    return 0


def _fixed_argument(items):
    """fit_series' fixed=: names held at the circuit's values, or name -> value when every one has a value."""
    if not items:
        return None
    if all(value is not None for _, value in items):
        return dict(items)
    if any(value is not None for _, value in items):
        raise ValueError("give --fix either all with values (NAME=VALUE) or all without")
    return [name for name, _ in items]


def _read_covariates(path):
    with path.open(newline="") as handle:
        rows = list(csv.DictReader(handle))
    if not rows:
        raise ValueError(f"{path} holds no rows")
    return {name: [_maybe_number(row[name]) for row in rows] for name in rows[0]}


def _maybe_number(text):
    try:
        return float(text)
    except ValueError:
        return text


def _write_outputs(folder, report):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "series.json").write_text(report.to_json() + "\n")
    written = ["series.json"]
    try:
        report.to_frame().to_csv(folder / "series.csv", index=False)
        written.append("series.csv")
    except ImportError:
        print("no series.csv: pandas is not installed (pip install kovrant[batch])")
    try:
        import matplotlib
    except ImportError:
        print("no plots: matplotlib is not installed (pip install kovrant[plot])")
    else:
        matplotlib.use("Agg")
        from .plots import plot_series_fits, plot_series_parameters

        for name, figure in (("series_parameters.png", plot_series_parameters(report)),
                             ("series_fits.png", plot_series_fits(report))):
            figure.savefig(folder / name, dpi=110)
            matplotlib.pyplot.close(figure)
            written.append(name)
    print(f"wrote {', '.join(written)} in {folder}")


def _shared_item(text):
    name, found, group = text.partition(":")
    if not name.strip() or (found and not group.strip()):
        raise argparse.ArgumentTypeError(f"expected NAME or NAME:GROUP, got {text!r}")
    return name.strip(), group.strip() or None


def _law_item(text):
    return _split(text, ":", "NAME:LAW")


def _smooth_value(text):
    if text.strip().lower() == "cv":
        return "cv"
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a strength or cv, got {text!r}") from None
