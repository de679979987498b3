"""Command line: evaluate a circuit over a spectrum stored as battery-data CSV.

    python -m kovrant_tools SPECTRUM.csv --circuit randles \
        --values R0.r=0.015,R1.r=0.02,W1.aw=0.004,CPE1.q=2,CPE1.alpha=0.85 \
        --plot out/sample.png
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
    parser.add_argument("--values", type=parse_values, default=None, help="parameter values as NAME=VALUE,...")
    parser.add_argument("--plot", type=Path, default=Path("out/nyquist_bode.png"), help="PNG file to write")
    arguments = parser.parse_args(argv)

    spectrum = read_spectrum_csv(arguments.spectrum)
    circuit = kovrant.Circuit(arguments.circuit)
    if arguments.values is not None:
        circuit = circuit.with_named_values(arguments.values)
    print(circuit)

    frequencies, measured = spectrum_arrays(spectrum)
    model = circuit.impedance(frequencies.tolist())
    print(f"{'f / Hz':>12} {'measured / ohm':>30} {'model / ohm':>30}")
    for f, z_measured, z_model in zip(frequencies, measured, model):
        print(f"{f:12.5g} {z_measured.real:14.6g}{z_measured.imag:+14.6g}j {z_model.real:14.6g}{z_model.imag:+14.6g}j")

    arguments.plot.parent.mkdir(parents=True, exist_ok=True)
    save_nyquist_bode(arguments.plot, frequencies, measured, model, title=arguments.circuit)
    print(f"wrote {arguments.plot}")


if __name__ == "__main__":
    main()
