"""Which circuit does rank_circuits pick on synthetic spectra of known circuits?

Run: python bench/bench_confusion.py [--per-circuit 10] [--seed 3] [--strategy thorough] [--criterion aic]

Twenty-three generating circuits: the eleven built-ins and common others
(blocking electrodes, an arc with a blocking tail, three arcs, Zarc chains,
Gerischer, series and finite Warburg, the published Li-ion circuit). Each
spectrum is drawn like a measurement: 30-90 points over a random window of
four to seven decades placed around the circuit's time constants,
proportional complex noise of 0.3-2 %, and in a fifth of the spectra one
outlier point 3 % off. Values: a series resistance, arcs one to two decades
apart with resistances 0.3 to 30 times it, exponents 0.65-0.92, diffusion
sized to show in the window, a cable inductance of 5-50 % of the series
resistance at the top frequency.

Every spectrum is ranked over the whole open set of twenty-three circuits (plus
the simpler circuits degenerate fits equal) by BIC (or --criterion aic). "top-1": the pick has the
generating topology (labels, series and branch order ignored); "top-3": it is
among the first three; "simpler": the pick is the generating topology or has
fewer parameters and fits as well as the generating circuit's own fit by the
ranking's likelihood-ratio test (the data do not show the missing element). Printed: per generating
circuit, the three rates and the most frequent wrong pick; overall rates and
CPU seconds.
"""
from __future__ import annotations

import argparse
import collections
import math
import time
import warnings

import numpy as np

from .timing import load_average

import kovrant  # noqa: E402
from kovrant_tools import rank_circuits  # noqa: E402
from kovrant_tools import structure  # noqa: E402
from kovrant_tools.ranking import _fits_as_well  # noqa: E402

OTHERS = ("R0-C1", "R0-CPE1", "R0-(R1,CPE1)-CPE2", "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)", "R0-Zarc1-(R2,C2)",
          "R0-G1", "R0-(R1,CPE1)-G2", "R0-(R1,CPE1)-W2", "R0-(R1-Wo1,CPE1)", "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)",
          "R0-(R1,C1)-(R2,C2)-(R3,C3)", "L0-R0-Zarc1-Zarc2-Zarc3")
CIRCUITS = (*kovrant.Circuit.ml_circuits(), *OTHERS)


def draw(notation, rng, with_values=False):
    """(frequencies, impedances) of one synthetic measurement of `notation` (and its values when asked)."""
    series = structure.parse(notation)
    arcs = [node for node in series if isinstance(node, structure.Parallel) or node.code in ("Zarc", "G")]
    r0 = 10 ** rng.uniform(-2, 3)
    # Arc time constants one to two decades apart, from fast to slow.
    log_taus = np.cumsum([rng.uniform(-5, -3)] + [rng.uniform(1, 2) for _ in arcs[1:]])
    resistances = r0 * 10 ** rng.uniform(-0.5, 1.5, len(arcs))
    r_total = r0 + resistances.sum()
    tau_slow = 10 ** (log_taus[-1] if arcs else -3)
    values = {}
    for node, log_tau, resistance in zip(arcs, log_taus, resistances):
        _arc_values(node, 10 ** log_tau, resistance, values, rng)
    for node in series:
        if isinstance(node, structure.Element) and node.code == "R":
            values[node.label + ".r"] = r0
    # Window: 0.3-1.5 decades above the fastest time constant, 0.5-2 below the slowest one.
    high = -log_taus[0] + rng.uniform(0.3, 1.5) if arcs else 5
    for element in structure.elements(series):
        label = element.label
        if element.code == "L":
            # Cable inductance: 5 to 50 % of the series resistance at the top frequency.
            values[label + ".l"] = r0 * rng.uniform(0.05, 0.5) / 10 ** high
        elif element.code in ("CPE", "C") and label + (".q" if element.code == "CPE" else ".c") not in values:
            # A blocking tail: its impedance equals the arcs' resistance a decade below the slowest arc.
            omega = 0.1 / tau_slow
            values.update({label + ".q": 1 / (r_total * omega ** 0.85), label + ".alpha": rng.uniform(0.75, 0.95)}
                          if element.code == "CPE" else {label + ".c": 1 / (r_total * omega)})
        elif element.code == "W":
            values[label + ".aw"] = r_total * rng.uniform(0.3, 1.5) * math.sqrt(0.1 / tau_slow)
        elif element.code == "Wo":
            values[label + ".z0"] = r_total * rng.uniform(0.5, 2)
            values[label + ".tau"] = tau_slow * 10 ** rng.uniform(1.5, 2.5)
    low = -math.log10(max(tau_slow, max((values.get(name, 0) for name in values if name.endswith(".tau")),
                                        default=0))) - rng.uniform(0.5, 2)
    points = int(rng.integers(30, 91))
    frequencies = np.logspace(high, low, points) / (2 * math.pi)
    circuit = kovrant.Circuit(notation)
    clean = circuit.with_named_values(values).impedance(frequencies)
    noise = rng.uniform(0.003, 0.02)
    measured = clean * (1 + noise * (rng.standard_normal(points) + 1j * rng.standard_normal(points)) / math.sqrt(2))
    if rng.random() < 0.2:
        measured[rng.integers(points)] *= 1.03
    return (frequencies, measured, values) if with_values else (frequencies, measured)


def _arc_values(node, tau, resistance, values, rng):
    alpha = rng.uniform(0.65, 0.92)
    if isinstance(node, structure.Element):
        if node.code == "Zarc":
            values.update({node.label + ".r": resistance, node.label + ".tau_k": tau, node.label + ".gamma": alpha})
        else:  # a Gerischer element
            values.update({node.label + ".rg": resistance, node.label + ".tg": tau})
        return
    for element in structure.elements(node.branches[0]):
        if element.code == "R":
            values[element.label + ".r"] = resistance
        elif element.code == "W":
            values[element.label + ".aw"] = resistance * rng.uniform(0.3, 1.5) * math.sqrt(0.1 / tau)
    for element in structure.elements(node.branches[1]):
        if element.code == "C":
            values[element.label + ".c"] = tau / resistance
        elif element.code == "CPE":
            values.update({element.label + ".q": tau ** alpha / resistance, element.label + ".alpha": alpha})


def _fits_as_well_with_less(ranking, circuit):
    """Whether the pick has fewer parameters than `circuit` and fits as well as its fit (ranking's test)."""
    reports = dict(ranking)
    pick = ranking[0][1]
    own = reports.get(circuit)
    return own is not None and len(pick.free) < len(own.free) and _fits_as_well(pick, own)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--per-circuit", type=int, default=10, help="spectra per generating circuit")
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--strategy", default="thorough", choices=("fast", "thorough"))
    parser.add_argument("--criterion", default="bic", choices=("bic", "aic"))
    parser.add_argument("--verbose", action="store_true", help="print every wrong pick")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    canonical = {circuit: structure.canonical(structure.parse(circuit)) for circuit in CIRCUITS}
    print(f"{len(CIRCUITS)} circuits, {args.per_circuit} spectra each (seed {args.seed}), strategy "
          f"{args.strategy}, criterion {args.criterion}; {load_average()}")
    print("| generating circuit | top-1 | top-3 | simpler | most frequent wrong pick |")
    print("|---|---|---|---|---|")
    started = time.process_time()
    top1 = top3 = parsimonious = 0
    for circuit in CIRCUITS:
        hits1 = hits3 = simpler = 0
        wrong = collections.Counter()
        for _ in range(args.per_circuit):
            f, z = draw(circuit, rng)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ranking = rank_circuits((f, z), list(CIRCUITS), strategy=args.strategy, criterion=args.criterion)
            picks = [structure.canonical(structure.parse(report.notation)) for _, report in ranking[:3]]
            hits1 += picks[0] == canonical[circuit]
            hits3 += canonical[circuit] in picks
            simpler += picks[0] == canonical[circuit] or _fits_as_well_with_less(ranking, circuit)
            if picks[0] != canonical[circuit]:
                wrong[ranking[0][0]] += 1
                if args.verbose:
                    print(f"  {circuit}: picked {ranking[0][0]} {ranking[0][1].chi_square:.4g}; generating one "
                          + ", ".join(f"#{place} {report.chi_square:.4g}" for place, (name, report) in
                                      enumerate(ranking, 1) if name == circuit))
        top1 += hits1
        top3 += hits3
        parsimonious += simpler
        common = ", ".join(f"{name} ({count})" for name, count in wrong.most_common(1))
        print(f"| {circuit} | {hits1 / args.per_circuit:.0%} | {hits3 / args.per_circuit:.0%} | "
              f"{simpler / args.per_circuit:.0%} | {common} |", flush=True)
    total = len(CIRCUITS) * args.per_circuit
    print(f"overall top-1 {top1 / total:.1%}, top-3 {top3 / total:.1%}, simpler {parsimonious / total:.1%} "
          f"over {total} spectra; "
          f"{time.process_time() - started:.0f} s CPU; {load_average()}")


if __name__ == "__main__":
    main()
