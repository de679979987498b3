"""`kovrant validate FILE`: the linear Kramers-Kronig test of every sweep in a file.

Prints one verdict line per sweep and writes a residual plot per sweep.
Exit code 0 when every sweep is valid, 1 when any is not, 2 on a user error.
"""

from pathlib import Path

from .readers import FORMATS, read_spectra
from .validation import kramers_kronig, residual_plot


def add_parser(subparsers):
    parser = subparsers.add_parser("validate", help="Kramers-Kronig test of a measured spectrum",
                                   description=__doc__.splitlines()[0])
    parser.add_argument("file", type=Path, help="impedance file (format recognised from its content)")
    parser.add_argument("--format", choices=tuple(FORMATS), default=None, help="force the file format")
    parser.add_argument("--plot", type=Path, default=None,
                        help="residual plot PNG (default: FILE's name with _kk.png, in the current folder)")
    parser.add_argument("--capacitance", action="store_true", help="add a series capacitance to the KK model")
    parser.add_argument("--inductance", action="store_true", help="add a series inductance to the KK model")
    parser.add_argument("--threshold", type=float, default=0.01,
                        help="largest rms relative residual of a valid spectrum (default: %(default)s)")
    parser.set_defaults(run=run)


def _plot_path(args, sweep, sweeps):
    plot = args.plot or Path(f"{args.file.stem}_kk.png")
    return plot if sweeps == 1 else plot.with_name(f"{plot.stem}_sweep{sweep}{plot.suffix}")


def run(args):
    spectra = read_spectra(args.file, format=args.format)
    all_valid = True
    for spectrum in spectra:
        result = kramers_kronig(spectrum, capacitance=args.capacitance, inductance=args.inductance,
                                threshold=args.threshold)
        sweep = spectrum.metadata["sweep"]
        label = f"{args.file.name}" + (f" sweep {sweep}" if len(spectra) > 1 else "")
        print(f"{label}: {result.verdict} ({len(spectrum)} points, M={result.n_elements}, "
              f"pseudo chi-square {result.pseudo_chi_square:.3g})")
        plot = _plot_path(args, sweep, len(spectra))
        plot.parent.mkdir(parents=True, exist_ok=True)
        residual_plot(result, plot, title=f"{label}: {result.verdict}")
        print(f"wrote {plot}")
        all_valid &= result.passed
    return 0 if all_valid else 1
