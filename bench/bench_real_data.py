"""Does the fit find the best fit on measured spectra, for built-in and own circuits? How fast?

Run: python bench/bench_real_data.py [--spectra a,b] [--calls 3] [--references FILE] [--weights-dir DIR]
     (for the impedance.py columns, with a Python that has it, e.g.
      /tmp/benchenv/bin/python bench/bench_real_data.py; see bench/README.md)

The spectra are the measured ones in bench/data/measured (sources, licences
and what each sample is in SOURCES.md; impedancepy_example_liion is the
bundled data/measured/li_ion_battery.csv); the guesser networks never see
them in training. Each is fitted
with built-in topologies that suit its shape and with circuits outside the
built-ins (no network: the start is the toolkit's to find).

Per case (spectrum, circuit), side by side in this process:
- before: kovrant_tools.fit(strategy="fast"), exactly Circuit.fit: the
  network's guess (or, without a network, the catalogue values) and the
  multi-start Levenberg-Marquardt walk;
- after: kovrant_tools.fit with its default strategy ("thorough");
- the reference: the best chi-square any method finds: both fits above, the
  five other methods of Circuit.fit from the guess or the data-driven start
  with a fixed seed, and Levenberg-Marquardt from the eight cheapest
  data-driven starts, each also with every exponent held at 1. A fit
  "reaches" when its chi-square is within 1 % of the reference;
- the CPU time of one fit (fastest of --calls), before and after.
With --references FILE the reference chi-squares are read from FILE when
present (and written to it otherwise), to rerun the table quickly. With
--weights-dir, every fit of a built-in guesses from DIR/<key>.eisnn (a
retrained network) where that file exists. Where impedance.py is importable,
each built-in case also gets its fit (CustomCircuit(...).fit(f, z,
weight_by_modulus=True) from kovrant's guess): its chi-square over the
reference and its CPU time against the "after" fit.
"""
from __future__ import annotations

import argparse
import json
import statistics
import warnings
from pathlib import Path

import numpy as np

from .timing import best_cpu_time, load_average

import kovrant  # noqa: E402
from kovrant_tools import fit, structure  # noqa: E402
from kovrant_tools.starts import data_starts  # noqa: E402

DATA = Path(__file__).resolve().parent / "data" / "measured"
TOLERANCE = 1.01
SEED = 7
OTHER_METHODS = ("nelder_mead", "simulated_annealing", "basin_hopping", "particle_swarm",
                 "differential_evolution")

# Circuits tried per spectrum, chosen from each spectrum's shape (SOURCES.md).
LI_ION = ("rq_l", "two_rq_l", "randles", "sei_randles", "sei_randles_wo",
          "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)", "L0-R0-(R1,CPE1)-(R2,CPE2)-W3", "L0-R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)")
DUMMY = ("rc", "rq", "two_rc", "two_rq", "R0-(R1,C1)-(R2,C2)-(R3,C3)", "R0-Zarc1")
ELECTRODE = ("rq", "two_rq", "randles", "sei_randles", "R0-(R1-Wo1,CPE1)", "R0-(R1,CPE1)-CPE2")
TOPOLOGIES = {
    "impedancepy_example_liion": LI_ION,
    "pydrttools_lib_data": LI_ION,
    "pydrttools_lib_data_1": ("two_rq_l", "sei_randles", "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)",
                              "L0-R0-(R1,CPE1)-(R2,CPE2)-W3"),
    "pydrttools_lib_data_2": ("two_rq_l", "sei_randles", "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)",
                              "L0-R0-(R1,CPE1)-(R2,CPE2)-W3"),
    "autolab_example": ("rq_l", "two_rq_l", "randles", "sei_randles", "sei_randles_wo", "R0-(R1,CPE1)-C2",
                        "L0-R0-(R1,CPE1)-C2", "L0-R0-(R1,CPE1)-CPE2"),
    "zplot_dummy_circuit1": DUMMY,
    "zplot_dummy_circuit2": DUMMY,
    "zplot_dummy_circuit3": DUMMY,
    "gamry_example": ELECTRODE,
    "chi660e_example": ("rq", "two_rq", "randles", "R0-CPE1", "R0-(R1,CPE1)-CPE2"),
    "powersuite_example": ("rq", "two_rq", "sei_randles", "R0-(R1,CPE1)-CPE2", "(R1,CPE1)-(R2,CPE2)-CPE3"),
    "biologic_lsc_thin_film": ("rq", "rq_l", "two_rq", "randles", "R0-G1", "L0-R0-(R1,CPE1)-Wo2"),
    "yadg_sp300_peis": ("rq", "two_rq", "two_rq_l", "R0-Zarc1-Zarc2"),
    "yadg_sp300_geis": ("rq_l", "two_rq_l", "L0-R0-Zarc1-Zarc2"),
    "yadg_polymer_electrolyte": ("rq", "two_rq", "R0-(R1,CPE1)-CPE2", "R0-(R1,CPE1)-(R2,CPE2)-CPE3"),
}


def read_spectrum(path: Path):
    """(frequencies, impedances) of a CSV in the battery-data column names."""
    table = np.loadtxt(path, delimiter=",", skiprows=1)
    return table[:, 0], table[:, 1] + 1j * table[:, 2]


def reference_chi_square(circuit, f, z, found):
    """The lowest chi-square of many fits (see the module docstring), below or at `found`."""
    model = kovrant.Circuit(circuit)
    best = found
    try:
        guess = model.guess(f, z)
    except ValueError:
        guess = None
    starts = data_starts(circuit, (f, z), count=8)
    names = model.param_names()
    exponents = [index for index, name in enumerate(names) if name.endswith((".alpha", ".gamma"))]
    for method in OTHER_METHODS:
        start = guess if guess is not None else starts[0]
        best = min(best, model.with_values(start).fit(f, z, method=method, seed=SEED).chi_square)
    for start in starts + ([guess] if guess is not None else []):
        best = min(best, model.with_values(start).fit(f, z).chi_square)
        if exponents:
            held = fit((f, z), circuit, start=dict(zip(names, start)) | {
                names[index]: 1.0 for index in exponents}, fixed=[names[index] for index in exponents],
                strategy="fast")
            best = min(best, held.chi_square)
    return best


def peer_notation(circuit: str) -> str:
    """impedance.py writes a parallel group as p(...)."""
    return circuit.replace("(", "p(")


def peer():
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        return None
    return CustomCircuit


def peer_columns(circuit, f, z, weights, best, calls, custom_circuit):
    """impedance.py's fit of a built-in from kovrant's guess: chi-square ratio and CPU ms."""
    model = kovrant.Circuit(circuit)
    start = list(model.guess(f, z, weights=weights))
    notation = peer_notation(structure.notation(structure.parse(circuit)))

    def peer_fit():
        return custom_circuit(notation, initial_guess=start).fit(f, z, weight_by_modulus=True)

    try:
        fitted = peer_fit()
        residuals = np.asarray(model.residuals([float(v) for v in fitted.parameters_], f, z))
        return {"peer_ratio": float(residuals @ residuals) / best,
                "peer_ms": best_cpu_time(peer_fit, 0.1, calls) * 1e3}
    except Exception as error:  # a peer failure is a result, not a crash of the benchmark
        return {"peer_error": type(error).__name__}


def case(name, circuit, f, z, calls, references, weights_dir=None, custom_circuit=None):
    """One row: reach and CPU time before and after."""
    built_in = circuit in kovrant.Circuit.ml_circuits()
    retrained = Path(weights_dir) / f"{circuit}.eisnn" if weights_dir and built_in else None
    network = {"weights": str(retrained)} if retrained is not None and retrained.exists() else {}

    def before():
        return fit((f, z), circuit, strategy="fast", **network)

    def after():
        return fit((f, z), circuit, **network)

    old, new = before(), after()
    key = f"{name}|{circuit}"
    if key not in references:
        references[key] = reference_chi_square(circuit, f, z, min(old.chi_square, new.chi_square))
    best = min(references[key], old.chi_square, new.chi_square)
    row = {"spectrum": name, "circuit": circuit, "own": not built_in,
           "before_ratio": old.chi_square / best, "after_ratio": new.chi_square / best,
           "before_ms": best_cpu_time(before, 0.1, calls) * 1e3, "after_ms": best_cpu_time(after, 0.1, calls) * 1e3,
           "limits": len(new.limits)}
    if custom_circuit is not None and built_in:
        row.update(peer_columns(circuit, f, z, network.get("weights"), best, calls, custom_circuit))
    return row


def summary(rows, label):
    if not rows:
        return
    before = sum(row["before_ratio"] <= TOLERANCE for row in rows)
    after = sum(row["after_ratio"] <= TOLERANCE for row in rows)
    ratios = [row["after_ms"] / row["before_ms"] for row in rows]
    print(f"{label}: reach before {before}/{len(rows)} ({before / len(rows):.0%}), after {after}/{len(rows)} "
          f"({after / len(rows):.0%}); CPU per fit before median {statistics.median(r['before_ms'] for r in rows):.1f}"
          f" ms, after median {statistics.median(r['after_ms'] for r in rows):.1f} ms; after/before time ratio "
          f"median {statistics.median(ratios):.2f}, mean {statistics.mean(ratios):.2f}; "
          f"mean time after/before {sum(r['after_ms'] for r in rows) / sum(r['before_ms'] for r in rows):.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--spectra", default=",".join(TOPOLOGIES), help="comma-separated file stems")
    parser.add_argument("--calls", type=int, default=3, help="timing calls per fit (the fastest counts)")
    parser.add_argument("--references", type=Path, help="JSON cache of the reference chi-squares")
    parser.add_argument("--weights-dir", type=Path, help="built-ins guess from DIR/<key>.eisnn files")
    args = parser.parse_args()
    references = json.loads(args.references.read_text()) if args.references and args.references.exists() else {}
    warnings.simplefilter("ignore")  # catalogue-start warnings of the "before" fits

    custom_circuit = peer()
    print(f"measured spectra from {DATA}; {load_average()}")
    if custom_circuit is None:
        print("impedance.py is not importable here: its columns are left out")
    print(f"{'spectrum':<28}{'circuit':<40}{'before':>9}{'after':>9}{'ms before':>10}{'ms after':>10}{'limits':>7}"
          + (f"{'imp ratio':>11}{'imp.py ms':>10}" if custom_circuit is not None else ""))
    rows = []
    for name in args.spectra.split(","):
        f, z = read_spectrum(DATA / f"{name}.csv")
        for circuit in TOPOLOGIES[name]:
            row = case(name, circuit, f, z, args.calls, references, args.weights_dir, custom_circuit)
            rows.append(row)
            peer_cells = (f"{row['peer_ratio']:>11.4f}{row['peer_ms']:>10.1f}" if "peer_ms" in row else
                          f"   impedance.py failed: {row['peer_error']}" if "peer_error" in row else "")
            print(f"{name:<28}{circuit:<40}{row['before_ratio']:>9.4f}{row['after_ratio']:>9.4f}"
                  f"{row['before_ms']:>10.2f}{row['after_ms']:>10.2f}{row['limits']:>7}{peer_cells}", flush=True)
    if args.references:
        args.references.write_text(json.dumps(references, indent=1))
    print("ratio = chi-square / reference (best of many fits); reached = ratio <= 1.01")
    summary([row for row in rows if not row["own"]], "built-in circuits")
    summary([row for row in rows if row["own"]], "own circuits")
    summary(rows, "all")
    print(load_average())


if __name__ == "__main__":
    main()
