"""`kovrant drt FILE`: the distribution of relaxation times of every sweep in a file.

Prints a table of peaks per sweep (tau = 1/(2 pi f) in s, the frequency where
the process shows, resistance, width, each with its standard error), or the
whole result as JSON or the peaks as CSV, and writes a plot of gamma(tau) with
its band and of the reconstruction per sweep.
"""
from __future__ import annotations

import csv
import io
import json
import sys
from pathlib import Path

from .drt import METHODS, PARTS, RULES, drt
from .readers import FORMATS, read_spectra

PEAK_COLUMNS = ("sweep", "peak", "tau", "tau_stderr", "frequency", "resistance", "resistance_stderr", "width",
                "width_stderr", "exponent")


def add_parser(subparsers):
    parser = subparsers.add_parser("drt", help="distribution of relaxation times of a spectrum file",
                                   description=__doc__.splitlines()[0])
    parser.add_argument("file", type=Path, help="impedance file (format recognised from its content)")
    parser.add_argument("--format", choices=tuple(FORMATS), default=None, help="force the file format")
    parser.add_argument("--method", choices=METHODS, default="tikhonov", help="default: %(default)s")
    parser.add_argument("--regularisation", type=_regularisation, default="gcv", metavar="RULE|LAMBDA",
                        help=f"one of {', '.join(RULES)}, or a number (default: %(default)s)")
    parser.add_argument("--part", choices=PARTS, default="both", help="part(s) fitted (default: %(default)s)")
    parser.add_argument("--signed", action="store_true", help="allow negative gamma (inductive loops)")
    parser.add_argument("--json", nargs="?", const="-", default=None, metavar="PATH",
                        help="write the results as JSON to PATH (or to stdout instead of the table)")
    parser.add_argument("--csv", nargs="?", const="-", default=None, metavar="PATH",
                        help="write the peaks as CSV to PATH (or to stdout instead of the table)")
    parser.add_argument("--plot", type=Path, default=None,
                        help="plot PNG (default: FILE's name with _drt.png, in the current folder)")
    parser.add_argument("--no-plot", action="store_true", help="write no plot")
    parser.set_defaults(run=run)


def _regularisation(text):
    if text in RULES:
        return text
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"--regularisation must be one of {', '.join(RULES)} or a number, got {text!r}") from None


def run(args) -> int:
    spectra = read_spectra(args.file, format=args.format)
    results = [(spectrum.metadata.get("sweep", index), drt(spectrum, method=args.method,
                                                            regularisation=args.regularisation, part=args.part,
                                                            signed=args.signed))
               for index, spectrum in enumerate(spectra)]
    to_stdout = "-" in (args.json, args.csv)
    if args.json is not None:
        _write(args.json, json.dumps([{"sweep": sweep, **json.loads(result.to_json())} for sweep, result in results],
                                     indent=1) + "\n")
    if args.csv is not None:
        _write(args.csv, _peaks_csv(results))
    if not to_stdout:
        for sweep, result in results:
            label = args.file.name + (f" sweep {sweep}" if len(results) > 1 else "")
            print(_table(label, result))
    if not args.no_plot:
        for sweep, result in results:
            _plot(args, sweep, len(results), result, quiet=to_stdout)
    return 0


def _write(target, text):
    if target == "-":
        sys.stdout.write(text)
    else:
        Path(target).parent.mkdir(parents=True, exist_ok=True)
        Path(target).write_text(text)


def _peaks_csv(results):
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, fieldnames=PEAK_COLUMNS, lineterminator="\n")
    writer.writeheader()
    for sweep, result in results:
        for number, peak in enumerate(result.peaks, start=1):
            writer.writerow({"sweep": sweep, "peak": number, "tau": peak.tau, "tau_stderr": peak.tau_stderr,
                             "frequency": peak.frequency, "resistance": peak.resistance,
                             "resistance_stderr": peak.resistance_stderr, "width": peak.width,
                             "width_stderr": peak.width_stderr, "exponent": peak.exponent})
    return buffer.getvalue()


def _table(label, result):
    lines = [f"{label}: {len(result.peaks)} peaks (from the {result.peak_source}), lambda "
             f"{result.regularisation:.3g} by {result.regularisation_rule}, R_inf {result.series_resistance:.6g} ohm, "
             f"L {result.inductance:.4g} H, polarisation resistance {result.polarisation_resistance:.6g} ohm",
             f"  {'#':>2}  {'tau / s':>21}  {'f = 1/(2 pi tau) / Hz':>21}  {'R / ohm':>21}  {'width / decades':>19}"]
    for number, peak in enumerate(result.peaks, start=1):
        lines.append(f"  {number:>2}  {peak.tau:>10.4g} ± {peak.tau_stderr:<8.2g}  {peak.frequency:>21.4g}  "
                     f"{peak.resistance:>10.4g} ± {peak.resistance_stderr:<8.2g}  "
                     f"{peak.width:>8.3g} ± {peak.width_stderr:<8.2g}")
    for warning in result.warnings:
        lines.append(f"  note: {warning}")
    return "\n".join(lines)


def _plot(args, sweep, sweeps, result, quiet):
    from ._optional import require
    from .plots import plot_drt, plot_drt_fit

    plt = require("matplotlib.pyplot", "kovrant drt's plot (or --no-plot)")
    path = args.plot or Path(f"{args.file.stem}_drt.png")
    if sweeps > 1:
        path = path.with_name(f"{path.stem}_sweep{sweep}{path.suffix}")
    figure = plt.figure(figsize=(12, 9), layout="constrained")
    upper, lower = figure.subfigures(2, 1)
    plot_drt(result, ax=upper.subplots())
    plot_drt_fit(result, ax=lower.subplots(1, 2))
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)
    plt.close(figure)
    if not quiet:
        print(f"wrote {path}")
