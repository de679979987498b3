"""Guesses, impedances and fits give the same bits whatever the CPU offers.

glibc picks FMA and AVX2 variants of its math functions when it loads; the
same work run with those variants switched off through GLIBC_TUNABLES must
print the very same numbers. (Elsewhere than x86-64 glibc the variable is
ignored and both runs are alike.) The work covers every element kind, the
default fit from a guess and the five seeded fitting methods.
"""
import os
import subprocess
import sys

WORK = """
import numpy as np
import kovrant

frequencies = np.logspace(-2, 5, 60)
ripple = 1 + 0.02 * np.sin(np.arange(60))
circuits = kovrant.Circuit.ml_circuits() + ["R0-Zarc1-(R2-W2,CPE2)", "L0-R0-K1-K2"]
def bits(values):
    return " ".join(float(v).hex() for v in np.ravel(np.asarray(values).view(float)))

for circuit in circuits:
    model = kovrant.Circuit(circuit)
    measured = np.asarray(model.impedance(frequencies)) * ripple
    print(circuit, bits(model.guess(frequencies, measured)), bits(model.fit(frequencies, measured).circuit.param_values()))

every_kind = ["R0-L0-C0-La0", "R0-(R1,CPE1)-W1-Wo1-Ws1", "R0-G1-Gs1-(R2,K2)-Zarc3",
              "R0-TLMQ1-T1-(R2,La2)-CPE3"]
budgets = dict(num_particles=10, generations=5, de_evaluations=200, sa_iterations=100, basin_hopping_hops=2,
               nelder_mead_iterations=100, max_iterations=30, seed=7)
for circuit in every_kind:
    model = kovrant.Circuit(circuit)
    measured = np.asarray(model.impedance(frequencies)) * ripple
    start = model.with_values([v * 1.3 for v in model.param_values()])
    print(circuit, bits(measured))
    # Differential evolution takes no seed, so its runs differ anyway.
    for method in ["levenberg_marquardt", "nelder_mead", "simulated_annealing", "basin_hopping", "particle_swarm"]:
        print(method, bits(start.fit(frequencies, measured, method=method, **budgets).circuit.param_values()))
"""

NO_CPU_FEATURES = "glibc.cpu.hwcaps=-AVX2,-FMA,-AVX512F"


def run_work(tunables):
    environment = dict(os.environ)
    environment.pop("GLIBC_TUNABLES", None)
    if tunables:
        environment["GLIBC_TUNABLES"] = tunables
    return subprocess.run([sys.executable, "-c", WORK], env=environment, capture_output=True, text=True,
                          check=True).stdout


def test_results_do_not_depend_on_cpu_features():
    with_features = run_work(None)
    assert len(with_features.splitlines()) == 13 + 4 * 6
    assert run_work(NO_CPU_FEATURES) == with_features
