"""How often the default fit from the network's guess finds the best fit.

Run: python -m bench.bench_recovery [--count 200] [--models rc,randles] [--seed 1]

For each built-in topology: `count` synthetic spectra (tools/synthetic_spectra:
realistic random parameters, 20 to 200 points over a window that shows every
feature, 1 % noise). Each spectrum is fitted twice with the default method:
fit(f, z), which starts from the network's guess, and a fit started from the
true parameters. A spectrum counts as recovered when the default fit's
chi-square is within 1 % of the true-start fit's (or lower).
"""
from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import kovrant
from tools import guesser_registry, synthetic_spectra

from .timing import load_average

NOISE = 0.01
TOLERANCE = 1.01


def recovery(key, circuit_text, count, seed):
    """(recovered count, chi-square ratios, seconds per default fit) for one topology."""
    rng = np.random.default_rng([seed, sum(map(ord, key))])
    circuit = kovrant.Circuit(circuit_text)
    recovered, ratios, seconds = 0, [], 0.0
    for _ in range(count):
        spectrum = synthetic_spectra.sample_spectrum(rng, key, circuit_text, noise=NOISE)
        f, z = spectrum.frequencies, spectrum.impedances
        started = time.perf_counter()
        default = circuit.fit(f, z)
        seconds += time.perf_counter() - started
        reference = circuit.with_values(spectrum.values.tolist()).fit(f, z)
        ratio = default.chi_square / reference.chi_square if reference.chi_square > 0 else np.inf
        ratios.append(ratio)
        recovered += bool(default.chi_square <= TOLERANCE * reference.chi_square)
    return recovered, ratios, seconds / count


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=200, help="spectra per topology")
    parser.add_argument("--models", default=",".join(m.key for m in guesser_registry.MODELS),
                        help="comma-separated model keys")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    built_in = set(kovrant.Circuit.ml_circuits())
    print(f"{args.count} spectra per topology, {NOISE:.0%} noise, seed {args.seed}; {load_average()}")
    print(f"{'model':<16}{'recovered':>12}{'share':>9}{'median ratio':>14}{'worst ratio':>13}{'ms/fit':>9}")
    shares = []
    for key in args.models.split(","):
        spec = guesser_registry.MODELS_BY_KEY[key]
        if key not in built_in:
            print(f"{key:<16}  not built into this module: skipped")
            continue
        recovered, ratios, seconds = recovery(key, spec.circuit, args.count, args.seed)
        share = recovered / args.count
        shares.append((key, share))
        print(f"{key:<16}{recovered:>7}/{args.count:<4}{share:>9.1%}{statistics.median(ratios):>14.6f}"
              f"{max(ratios):>13.3g}{seconds * 1e3:>9.2f}")
    missed = [key for key, share in shares if share < 0.97]
    print("ratio: default-fit chi-square over true-start chi-square (recovered: at most 1.01)")
    print("every topology reaches 97 %" if not missed else f"below 97 %: {', '.join(missed)}")
    print(load_average())


if __name__ == "__main__":
    main()
