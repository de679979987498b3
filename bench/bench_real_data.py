"""Does the default fit find the best fit on measured spectra? And how fast is it?

Run: python -m bench.bench_real_data [--spectra a,b] [--weights-dir DIR]
     (for the impedance.py columns, with a Python that has it, e.g.
      /tmp/benchenv/bin/python -m bench.bench_real_data; see bench/README.md)

The spectra are the measured ones in bench/data/measured (sources, licences
and what each sample is in SOURCES.md); the guesser networks never see them in
training. Each is fitted with a few built-in topologies that suit its shape.
Per spectrum and topology:
- the default fit, Circuit(key).fit(f, z): the network's guess, then
  Levenberg-Marquardt with modulus weighting;
- the five other methods, each started from the same guess with a fixed seed;
  the best chi-square of all six is the reference. The default fit "reaches"
  it when its chi-square is within 1 % of it;
- the CPU time of one default fit against one impedance.py fit of the same
  circuit (CustomCircuit(...).fit(f, z, weight_by_modulus=True)) started from
  kovrant's guess, side by side in this process, with impedance.py's
  chi-square over the reference. The impedance.py columns are left out when
  it is not importable.
With --weights-dir, every fit guesses from DIR/<key>.eisnn (a retrained
network) where that file exists, and from the built-in network otherwise.
"""
from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

import numpy as np

import kovrant
from tools.guesser_registry import MODELS_BY_KEY

from .timing import best_cpu_time, load_average

DATA = Path(__file__).resolve().parent / "data" / "measured"
TOLERANCE = 1.01
SEED = 7
OTHER_METHODS = ("nelder_mead", "simulated_annealing", "basin_hopping", "particle_swarm",
                 "differential_evolution")

# Topologies tried per spectrum, chosen from each spectrum's shape (SOURCES.md).
CELL = ("rq_l", "two_rq_l", "randles", "sei_randles", "sei_randles_wo")
DUMMY = ("rc", "rq", "two_rc", "two_rq")
ELECTRODE = ("rq", "two_rq", "randles", "sei_randles")
TOPOLOGIES = {
    "impedancepy_example_liion": CELL,
    "autolab_example": CELL,
    "zplot_dummy_circuit1": DUMMY,
    "zplot_dummy_circuit2": DUMMY,
    "zplot_dummy_circuit3": DUMMY,
    "gamry_example": ELECTRODE,
    "chi660e_example": ("rq", "two_rq", "randles"),
    "powersuite_example": ("rq", "two_rq", "sei_randles"),
    "biologic_lsc_thin_film": ("rq", "rq_l", "two_rq", "randles"),
}


def read_spectrum(path: Path):
    """(frequencies, impedances) of a CSV in the battery-data column names."""
    table = np.loadtxt(path, delimiter=",", skiprows=1)
    return table[:, 0], table[:, 1] + 1j * table[:, 2]


def peer_notation(circuit: str) -> str:
    """impedance.py writes a parallel group as p(...)."""
    return circuit.replace("(", "p(")


def chi_square(circuit: kovrant.Circuit, values, f, z) -> float:
    """Modulus-weighted chi-square of `values`, or inf when kovrant rejects them."""
    try:
        residuals = circuit.residuals([float(v) for v in values], f, z)
    except ValueError:
        return float("inf")
    return float(np.sum(np.square(residuals)))


def peer():
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        return None
    return CustomCircuit


def case(name, key, f, z, weights_dir, custom_circuit):
    """One row of the table: reach, ratios and CPU times for one spectrum and topology."""
    circuit = kovrant.Circuit(key)
    retrained = None if weights_dir is None else Path(weights_dir) / f"{key}.eisnn"
    weights = str(retrained) if retrained is not None and retrained.exists() else None

    def default_fit():
        return circuit.fit(f, z, weights=weights)

    default = default_fit()
    others = [circuit.fit(f, z, weights=weights, method=m, seed=SEED) for m in OTHER_METHODS]
    best = min([default.chi_square] + [r.chi_square for r in others])
    row = {"spectrum": name, "circuit": key, "ratio": default.chi_square / best,
           "reached": default.chi_square <= TOLERANCE * best,
           "best_method": min(zip([default.chi_square] + [r.chi_square for r in others],
                                  ("default",) + OTHER_METHODS))[1],
           "ours_ms": best_cpu_time(default_fit, 0.2, 3) * 1e3}
    if custom_circuit is not None:
        start = circuit.guess(f, z, weights=weights)
        notation = peer_notation(MODELS_BY_KEY[key].circuit)

        def peer_fit():
            model = custom_circuit(notation, initial_guess=list(start))
            return model.fit(f, z, weight_by_modulus=True)

        try:
            fitted = peer_fit()
            row["peer_ratio"] = chi_square(circuit, fitted.parameters_, f, z) / best
            row["peer_ms"] = best_cpu_time(peer_fit, 0.2, 3) * 1e3
        except Exception as error:  # a peer failure is a result, not a crash of the benchmark
            row["peer_error"] = type(error).__name__
    return row


def format_row(row):
    cells = [f"{row['spectrum']:<28}{row['circuit']:<16}{'yes' if row['reached'] else 'NO':>8}"
             f"{row['ratio']:>10.4f}  {row['best_method']:<24}{row['ours_ms']:>9.2f}"]
    if "peer_ms" in row:
        cells.append(f"{row['peer_ms']:>10.1f}{row['peer_ms'] / row['ours_ms']:>8.1f}x"
                     f"{row['peer_ratio']:>11.4f}")
    elif "peer_error" in row:
        cells.append(f"   impedance.py failed: {row['peer_error']}")
    return "".join(cells)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--spectra", default=",".join(TOPOLOGIES), help="comma-separated file stems")
    parser.add_argument("--weights-dir", type=Path, help="guess from DIR/<key>.eisnn files")
    args = parser.parse_args()

    custom_circuit = peer()
    print(f"measured spectra from {DATA}; {load_average()}")
    if custom_circuit is None:
        print("impedance.py is not importable here: its columns are left out")
    header = (f"{'spectrum':<28}{'circuit':<16}{'reached':>8}{'ratio':>10}  {'best by':<24}"
              f"{'ours ms':>9}")
    if custom_circuit is not None:
        header += f"{'imp.py ms':>10}{'speed-up':>9}{'imp ratio':>11}"
    print(header)
    rows = []
    for name in args.spectra.split(","):
        f, z = read_spectrum(DATA / f"{name}.csv")
        for key in TOPOLOGIES[name]:
            rows.append(case(name, key, f, z, args.weights_dir, custom_circuit))
            print(format_row(rows[-1]), flush=True)
    reached = sum(row["reached"] for row in rows)
    print(f"default fit within 1 % of the best of six methods: {reached}/{len(rows)} "
          f"({reached / len(rows):.0%}); ratio = default chi-square / best chi-square; "
          "times are CPU ms of one fit")
    speedups = [row["peer_ms"] / row["ours_ms"] for row in rows if "peer_ms" in row]
    if speedups:
        print(f"median CPU-time speed-up over impedance.py: {statistics.median(speedups):.1f}x; "
              f"impedance.py within 1 % of the best: "
              f"{sum(row['peer_ratio'] <= TOLERANCE for row in rows if 'peer_ratio' in row)}"
              f"/{len(speedups)}")
    print(load_average())


if __name__ == "__main__":
    main()
