"""kovrant fit: fit (or rank, then fit) circuits to a measured spectrum file."""
from __future__ import annotations

import argparse
import csv
from pathlib import Path

from .fitting import fit
from .readers import read_spectrum
from .spectrum import as_arrays
from .ranking import rank_circuits


def add_parser(subparsers):
    parser = subparsers.add_parser(
        "fit", help="fit a circuit to a spectrum file",
        description="Fit a circuit to a spectrum file and write the report (JSON, CSV) and a plot. "
                    "Example: kovrant fit cell.csv --circuit randles --fix R0.r=0.01 "
                    "--bounds CPE1.alpha=0.6:1 --out results")
    parser.add_argument("file", type=Path, help="spectrum file (battery-data CSV, or any format the readers know)")
    parser.add_argument("--circuit", help="notation or model name, e.g. 'R0-(R1,CPE1)' or randles "
                                          "(optional with --rank: the best-ranked one is fitted)")
    parser.add_argument("--fix", action="append", default=[], type=_fixed_item, metavar="NAME[=VALUE]",
                        help="hold a parameter at VALUE (or at its start value); repeatable")
    parser.add_argument("--bounds", action="append", default=[], type=_bound_item, metavar="NAME=LO:HI",
                        help="narrow a parameter's bounds; repeatable")
    parser.add_argument("--start", type=_start_items, default={}, metavar="NAME=VALUE,...",
                        help="start values of some or all parameters (default: the machine-learning guess)")
    parser.add_argument("--method", default="levenberg_marquardt", help="fit method (default: %(default)s)")
    parser.add_argument("--weight", default="modulus", choices=("modulus", "unit"), help="residual weighting")
    parser.add_argument("--rank", action="store_true",
                        help="first rank the eleven built-in topologies (and --circuit, and the simpler circuits "
                                                   "degenerate fits equal) by AIC")
    parser.add_argument("--out", type=Path, help="folder for <name>_fit.json, <name>_fit.csv, <name>_fit.png "
                                                  "(and <name>_ranking.csv with --rank)")
    parser.set_defaults(run=run)


def run(args) -> int:
    if args.circuit is None and not args.rank:
        raise ValueError("give --circuit, or --rank to fit the best-ranked built-in topology")
    spectrum = read_spectrum_file(args.file)
    circuit = args.circuit
    ranking = None
    if args.rank:
        from kovrant import Circuit

        candidates = Circuit.ml_circuits()
        if circuit is not None and circuit.strip().lower() not in candidates:
            candidates.append(circuit)
        ranking = rank_circuits(spectrum, candidates, method=args.method, weight=args.weight)
        print(_ranking_table(ranking))
        print()
        circuit = circuit or ranking[0][0]

    # A fixed parameter given a value starts, and stays, there.
    start = args.start | {name: value for name, value in args.fix if value is not None}
    constrained = args.fix or args.bounds or args.start
    if ranking is not None and not constrained and circuit in dict(ranking):
        report = dict(ranking)[circuit]
    else:
        report = fit(spectrum, circuit, fixed=[name for name, _ in args.fix] or None, bounds=dict(args.bounds) or None,
                     start=start, method=args.method, weight=args.weight)
    print(report)
    if args.out is not None:
        _write_outputs(args.out, args.file.stem, report, ranking)
    return 0


def read_spectrum_file(path):
    """(frequencies, impedances) of a spectrum file, in any format the readers know."""
    return as_arrays(read_spectrum(path))


def _write_outputs(folder, stem, report, ranking):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{stem}_fit.json").write_text(report.to_json() + "\n")
    rows = report.to_dict()["parameters"]
    _write_csv(folder / f"{stem}_fit.csv", rows)
    written = [f"{stem}_fit.json", f"{stem}_fit.csv"]
    if ranking is not None:
        _write_csv(folder / f"{stem}_ranking.csv", [
            {"rank": place, "circuit": name, "aic": r.aic, "bic": r.bic, "chi_square": r.chi_square,
             "parameters": len(r.free), "success": r.success}
            for place, (name, r) in enumerate(ranking, start=1)])
        written.append(f"{stem}_ranking.csv")
    try:
        import matplotlib
    except ImportError:
        print("no plot: matplotlib is not installed (pip install kovrant[plot])")
    else:
        matplotlib.use("Agg")
        from .plots import plot_fit

        figure = plot_fit(report)
        figure.savefig(folder / f"{stem}_fit.png", dpi=120)
        matplotlib.pyplot.close(figure)
        written.append(f"{stem}_fit.png")
    print(f"wrote {', '.join(written)} in {folder}")


def _write_csv(path, rows):
    with path.open("w", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)


def _ranking_table(ranking):
    width = max(len(name) for name, _ in ranking)
    lines = [f"{'rank':>4}  {'circuit':<{width}}  {'AIC':>10}  {'BIC':>10}  {'chi-square':>11}  k"]
    for place, (name, r) in enumerate(ranking, start=1):
        lines.append(f"{place:>4}  {name:<{width}}  {r.aic:>10.2f}  {r.bic:>10.2f}  {r.chi_square:>11.4g}  "
                     f"{len(r.free)}")
        lines.extend(f"{'':>6}warning: {text}" for text in r.warnings)
    return "\n".join(lines)


def _split(text, separator, form):
    name, found, value = text.partition(separator)
    if not found or not name.strip() or not value.strip():
        raise argparse.ArgumentTypeError(f"expected {form}, got {text!r}")
    return name.strip(), value.strip()


def _number(text):
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _fixed_item(text):
    if "=" not in text:
        return text.strip(), None
    name, value = _split(text, "=", "NAME=VALUE")
    return name, _number(value)


def _bound_item(text):
    name, interval = _split(text, "=", "NAME=LO:HI")
    lo, hi = _split(interval, ":", "NAME=LO:HI")
    return name, (_number(lo), _number(hi))


def _start_items(text):
    """'R0.r=1,R1.r=2' -> {'R0.r': 1.0, 'R1.r': 2.0}"""
    return dict((name, _number(value)) for name, value in
                (_split(item, "=", "NAME=VALUE") for item in text.split(",") if item.strip()))
