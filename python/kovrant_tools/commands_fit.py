"""kovrant fit: fit (or rank, then fit) circuits to measured spectra.

One spectrum: prints the report, and with --out writes <name>_fit.json,
<name>_fit.csv and <name>_fit.png. Several (a folder, a glob, several files or
sweeps): prints one CSV table, one row per spectrum, and with --out writes it
as fits.csv.
"""
from __future__ import annotations

import argparse
import csv
import difflib
import io
import json
import math
import os
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import kovrant

from .commands_input import add_input_arguments, output_folder, read_items, save_figure
from .fitting import fit
from .ranking import rank_circuits


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "fit", help="fit a circuit to spectrum files",
        description="Fit a circuit to spectrum files and write the report (JSON, CSV) and a plot, or one table "
                    "for many spectra. Example: kovrant fit cell.csv --circuit randles --fix R0.r=0.01 "
                    "--bounds CPE1.alpha=0.6:1 --out results")
    add_input_arguments(parser)
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
                        help="first rank the eleven built-in topologies (and --circuit) (and the simpler circuits degenerate fits equal) by BIC; one spectrum only")
    parser.add_argument("--out", type=Path, metavar="FOLDER",
                        help="folder for the outputs (created if need be): for one spectrum <name>_fit.json, "
                             "<name>_fit.csv, <name>_fit.png (and <name>_ranking.csv with --rank); "
                             "for several, fits.csv")
    parser.set_defaults(run=run)


def run(args) -> int:
    if args.circuit is None and not args.rank:
        raise ValueError("give --circuit, or --rank to fit the best-ranked built-in topology")
    if args.circuit is not None:
        checked_circuit(args.circuit)
    items = read_items(args)
    folder = output_folder(args.out) if args.out is not None else None
    if len(items) == 1:
        return _fit_one(args, items[0], folder)
    if args.rank:
        raise ValueError(f"--rank ranks one spectrum; the inputs hold {len(items)}")
    return _fit_table(args, items, folder)


def checked_circuit(text: str) -> kovrant.Circuit:
    """The circuit of --circuit; its parse error names the text, suggests a model name and keeps the catalogue."""
    try:
        return kovrant.Circuit(text)
    except ValueError as error:
        first, _, rest = str(error).partition("\n")
        close = difflib.get_close_matches(text.strip().lower(), kovrant.Circuit.ml_circuits(), n=1, cutoff=0.6)
        hint = f" (did you mean {close[0]!r}?)" if close else ""
        failure = ValueError(f"--circuit {text!r}: {first}{hint}")
        if rest.strip():
            failure.add_note(rest.strip("\n"))
        raise failure from None


def _fit_settings(args):
    # A fixed parameter given a value starts, and stays, there.
    start = args.start | {name: value for name, value in args.fix if value is not None}
    return {"fixed": [name for name, _ in args.fix] or None, "bounds": dict(args.bounds) or None,
            "start": start or None, "method": args.method, "weight": args.weight}


def _fit_one(args, item, folder):
    spectrum, circuit, ranking = item.spectrum, args.circuit, None
    if args.rank:
        candidates = kovrant.Circuit.ml_circuits()
        if circuit is not None and circuit.strip().lower() not in candidates:
            candidates.append(circuit)
        ranking = rank_circuits(spectrum, candidates, method=args.method, weight=args.weight)
        print(_ranking_table(ranking))
        print()
        circuit = circuit or ranking[0][0]
    constrained = args.fix or args.bounds or args.start
    if ranking is not None and not constrained and circuit in dict(ranking):
        report = dict(ranking)[circuit]
    else:
        report = fit(spectrum, circuit, **_fit_settings(args))
    print(report)
    if folder is not None:
        _write_outputs(folder, item, circuit, report, ranking)
    return 0


def _write_outputs(folder, item, circuit, report, ranking):
    stem = item.path.stem + ("" if item.sweep is None else f"_sweep{item.sweep}")
    data = json.loads(report.to_json())
    data.setdefault("notation", circuit)
    data.update(source=str(item.path), sweep=item.sweep)
    (folder / f"{stem}_fit.json").write_text(json.dumps(data, indent=2) + "\n")
    _write_csv(folder / f"{stem}_fit.csv", report.to_dict()["parameters"])
    written = [f"{stem}_fit.json", f"{stem}_fit.csv"]
    if ranking is not None:
        _write_csv(folder / f"{stem}_ranking.csv", [
            {"rank": place, "circuit": name, "aic": r.aic, "bic": r.bic, "chi_square": r.chi_square,
             "parameters": len(r.free), "success": r.success}
            for place, (name, r) in enumerate(ranking, start=1)])
        written.append(f"{stem}_ranking.csv")
    from .plots import plot_fit

    if save_figure(lambda: plot_fit(report, source=item.label), folder / f"{stem}_fit.png"):
        written.append(f"{stem}_fit.png")
    print(f"wrote {', '.join(written)} in {folder}")


def _fit_table(args, items, folder):
    """One row per spectrum: its file and sweep, the values and standard errors, the fit's outcome or error.

    The fits run on every core this process may use (a fit releases the interpreter lock); rows keep
    the input order.
    """
    names = checked_circuit(args.circuit).param_names()
    columns = ["file", "sweep", *names, *(f"{name}_stderr" for name in names),
               "chi_square", "success", "impedance_evals", "error"]
    with ThreadPoolExecutor(max_workers=min(len(items), len(os.sched_getaffinity(0)))) as pool:
        rows = list(pool.map(lambda item: _table_row(args, item), items))
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=columns, restval="", lineterminator="\n")
    writer.writeheader()
    writer.writerows({key: _cell(value) for key, value in row.items()} for row in rows)
    sys.stdout.write(text.getvalue())
    if folder is not None:
        (folder / "fits.csv").write_text(text.getvalue())
        failures = sum(1 for row in rows if "error" in row)
        print(f"wrote fits.csv ({len(rows)} spectra, {failures} failed) in {folder}", file=sys.stderr)
    return 0


def _table_row(args, item):
    row = {"file": str(item.path), "sweep": item.sweep}
    try:
        if item.error is not None:
            raise item.error
        report = fit(item.spectrum, args.circuit, **_fit_settings(args))
    except (ValueError, ArithmeticError, OSError, ImportError) as error:
        row["error"] = " ".join(str(error).split("\n")[0].split())
    else:
        row.update(report.params)
        row.update({f"{name}_stderr": value for name, value in report.stderr.items()})
        row.update(chi_square=report.chi_square, success=report.success, impedance_evals=report.impedance_evals)
    return row


def _cell(value):
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else repr(value)
    return "" if value is None else value


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


def _number(text, *, finite=False):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if math.isnan(value) or (finite and math.isinf(value)):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def _fixed_item(text):
    if "=" not in text:
        return text.strip(), None
    name, value = _split(text, "=", "NAME=VALUE")
    return name, _number(value, finite=True)


def _bound_item(text):
    name, interval = _split(text, "=", "NAME=LO:HI")
    lo, hi = _split(interval, ":", "NAME=LO:HI")
    return name, (_number(lo), _number(hi))


def _start_items(text):
    """'R0.r=1,R1.r=2' -> {'R0.r': 1.0, 'R1.r': 2.0}"""
    return dict((name, _number(value, finite=True)) for name, value in
                (_split(item, "=", "NAME=VALUE") for item in text.split(",") if item.strip()))
