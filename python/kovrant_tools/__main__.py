"""Command line: fit a circuit to a spectrum stored as battery-data CSV.

    python -m kovrant_tools SPECTRUM.csv --circuit randles --plot out/fit.png

Without --values the fit starts from the machine-learning guess for the
circuit's topology; with them, from the given values.
"""

import argparse
from pathlib import Path

import kovrant

from .plots import save_nyquist_bode
from .spectra import read_spectrum_csv, spectrum_arrays


def parse_values(text):
    """'R0.r=1,R1.r=2' -> {'R0.r': 1.0, 'R1.r': 2.0}"""
    values = {}
    for item in filter(None, text.split(",")):
        name, separator, number = item.partition("=")
        if not separator:
            raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {item!r}")
        values[name.strip()] = float(number)
    return values


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m kovrant_tools", description=__doc__.splitlines()[0])
    parser.add_argument("spectrum", type=Path, help="CSV file in the battery data format")
    parser.add_argument("--circuit", required=True, help="circuit notation or model name, e.g. 'R0-(R1,CPE1)'")
    parser.add_argument("--values", type=parse_values, default=None, help="starting values as NAME=VALUE,...")
    parser.add_argument("--method", default="levenberg_marquardt", help="fitting method (default: %(default)s)")
    parser.add_argument("--plot", type=Path, default=Path("out/nyquist_bode.png"), help="PNG file to write")
    arguments = parser.parse_args(argv)

    spectrum = read_spectrum_csv(arguments.spectrum)
    circuit = kovrant.Circuit(arguments.circuit)
    if arguments.values is not None:
        circuit = circuit.with_named_values(arguments.values)

    result = circuit.fit(spectrum, method=arguments.method)
    print(result)
    stderr = result.stderr or {}
    for name in result.circuit.param_names():
        error = f" +- {stderr[name]:.3g}" if name in stderr else ""
        print(f"  {name:<12} {result.params[name]:.6g}{error}")
    print(f"  cost {result.cost:.6g}, chi-square {result.chi_square:.6g}")

    frequencies, measured = spectrum_arrays(spectrum)
    model = result.circuit.impedance(frequencies)

    arguments.plot.parent.mkdir(parents=True, exist_ok=True)
    save_nyquist_bode(arguments.plot, frequencies, measured, model, title=f"{arguments.circuit} fit")
    print(f"wrote {arguments.plot}")


if __name__ == "__main__":
    main()
