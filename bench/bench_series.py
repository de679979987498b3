"""fit_series on synthetic series: speed and memory, interval coverage, smoothing against independent fits.

Run: python bench/bench_series.py [--counts 1000 10000] [--coverage 200] [--plots docs/img]

The circuit is "R0-(R1,CPE1)-(R2,CPE2)" over a temperature series (253 to
333 K): R0.r and CPE2.alpha shared, R1.r Arrhenius in T (Ea = 0.45 eV), the
other four parameters per spectrum, drifting smoothly; 60 points from 10 mHz
to 100 kHz with Gaussian noise of 1 % of |Z| on each part.

- speed: each count runs in its own process pinned to one core: the CPU time
  of fit_series (independent warm-started fits, the network guess of the
  first spectrum, the joint solve) and, side by side at the first count, of
  fit_many(threads=1, warm_start=True) on the same spectra (independent fits
  only, as a user would run them today); memory is the peak resident set
  during the fit above the resident set before it.
- coverage: `coverage` series of 10 spectra x 40 points; how often the true
  Ea lies inside the reported 95 % interval.
- measured: the electrolyte conductivity series of bench/data/series (four
  electrolytes, -30 to 60 C), R0 Arrhenius in T per electrolyte: the joint
  activation energy with its interval against a line through the independent
  fits' R0, and both chi-squares.
- smoothing: 120 spectra along a state of charge whose per-spectrum values
  follow smooth curves, 2 % noise: RMS relative error against the truth of
  the independent fits and of the joint fit with smooth="cv".
"""
from __future__ import annotations

import argparse
import json
import math
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from .timing import load_average, pin_to_one_core

import kovrant
import kovrant_tools as kt

CIRCUIT = "R0-(R1,CPE1)-(R2,CPE2)"
OPTIONS = {"shared": ["R0.r", "CPE2.alpha"], "laws": {"R1.r": "arrhenius(T)"}}
BOLTZMANN_EV = 8.617333262e-5
ENERGY = 0.45


def truth(position, count):
    """Values of spectrum `position` of a series of `count`, and its temperature."""
    s = position / max(count - 1, 1)
    kelvin = 253.0 + 80.0 * s
    values = [0.02, 1e-9 * math.exp(ENERGY / (BOLTZMANN_EV * kelvin)), 2e-4 * (1 + 0.5 * math.sin(3 * s)),
              0.9 - 0.05 * s, 0.05 * (1 + 0.8 * s), 0.5 * (1 + 0.3 * math.cos(2 * s)), 0.75]
    return values, kelvin


def series(count, points=60, noise=0.01, seed=0, values_of=truth):
    rng = np.random.default_rng(seed)
    circuit = kovrant.Circuit(CIRCUIT)
    frequencies = np.logspace(-2, 5, points)
    spectra, values = [], []
    for position in range(count):
        true_values, kelvin = values_of(position, count)
        z = circuit.with_values(true_values).impedance(frequencies)
        z = z + noise * np.abs(z) * (rng.standard_normal(points) + 1j * rng.standard_normal(points))
        spectra.append(kt.Spectrum(frequencies, z, {"T": kelvin, "soc": position / max(count - 1, 1)}))
        values.append(true_values)
    return spectra, np.array(values)


def rss_kib():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def one_count(count, baseline):
    """Runs in a child process: CPU seconds and memory of one series size."""
    pin_to_one_core()
    spectra, _ = series(count)
    before = rss_kib()
    began = time.process_time()
    report = kt.fit_series(spectra, CIRCUIT, **OPTIONS)
    seconds = time.process_time() - began
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = {"count": count, "cpu": seconds, "memory_mib": (peak - before) / 1024, "success": report.success,
              "energy": report.laws["R1.r"]["Ea"], "iterations": report.iterations}
    if baseline:
        began = time.process_time()
        kt.fit_many(spectra, CIRCUIT, threads=1, warm_start=True, progress=False)
        result["fit_many_cpu"] = time.process_time() - began
    print(json.dumps(result))


def speed(counts):
    print(f"speed ({CIRCUIT}, 60 points, 2 shared + 1 Arrhenius + 4 per spectrum; one core, CPU time; "
          f"load {load_average()})")
    print(f"{'spectra':>8}  {'fit_series s':>12}  {'per spectrum ms':>15}  {'memory MiB':>10}  {'KiB/spectrum':>12}  "
          f"{'Ea':>8}  {'fit_many s':>10}  {'ratio':>6}")
    for index, count in enumerate(counts):
        child = subprocess.run([sys.executable, __file__, "--one", str(count)] + (["--baseline"] if index == 0 else []),
                               capture_output=True, text=True, check=True)
        row = json.loads(child.stdout.strip().splitlines()[-1])
        baseline = row.get("fit_many_cpu")
        extra = f"  {baseline:>10.2f}  {baseline / row['cpu']:>5.1f}x" if baseline else ""
        print(f"{count:>8}  {row['cpu']:>12.2f}  {1e3 * row['cpu'] / count:>15.3f}  {row['memory_mib']:>10.1f}  "
              f"{1024 * row['memory_mib'] / count:>12.1f}  {row['energy']:>8.4f}{extra}"
              + ("" if row["success"] else "  NOT converged"))


def coverage(count):
    inside, failures, scores = 0, 0, []
    for seed in range(count):
        spectra, _ = series(10, points=40, seed=1000 + seed)
        report = kt.fit_series(spectra, CIRCUIT, **OPTIONS)
        low, high = report.global_intervals.get("R1.r:Ea", (math.nan, math.nan))
        inside += low <= ENERGY <= high
        failures += not report.success
        scores.append((report.laws["R1.r"]["Ea"] - ENERGY) / report.global_stderr[report.global_names.index("R1.r:Ea")])
    # Binomial spread of the count at the nominal 95 %, and the spread of the
    # standardised errors (1 when the reported errors are right).
    spread = 100 * math.sqrt(0.95 * 0.05 / count)
    print(f"coverage: true Ea inside the reported 95 % interval in {inside} of {count} series "
          f"({100 * inside / count:.1f} %, nominal 95 +/- {spread:.1f} %), {failures} not converged; "
          f"(Ea - true) / stderr: mean {np.mean(scores):+.3f}, standard deviation {np.std(scores):.3f}")


def smooth_truth(position, count):
    s = position / max(count - 1, 1)
    values = [0.02, 0.1 * (1 + 0.6 * s * s), 2e-4 * (1 + 0.5 * math.sin(3 * s)), 0.88 - 0.06 * s,
              0.05 * (1 + 0.8 * math.sin(2 * s)), 0.5 * (1 + 0.3 * math.cos(2 * s)), 0.75]
    return values, 298.15


def smoothing(plots):
    spectra, values = series(120, noise=0.02, seed=7, values_of=smooth_truth)
    report = kt.fit_series(spectra, CIRCUIT, shared=["R0.r", "CPE2.alpha"], smooth="cv", covariates={
        "soc": [s.metadata["soc"] for s in spectra]})
    print(f"smoothing: 120 spectra along the state of charge, 2 % noise; strength chosen by cross-validation "
          f"{report.smooth['R1.r']:g}")
    print(f"  {'parameter':<11} {'independent RMS %':>18} {'joint RMS %':>12}")
    for j, name in enumerate(report.names):
        if report.roles[name] != "per_spectrum":
            continue
        independent = 100 * np.sqrt(np.mean((report.independent_params[name] / values[:, j] - 1) ** 2))
        joint = 100 * np.sqrt(np.mean((report.params[name] / values[:, j] - 1) ** 2))
        print(f"  {name:<11} {independent:>18.3f} {joint:>12.3f}")
    if plots:
        from kovrant_tools.plots import plot_series_parameters

        figure = plot_series_parameters(report, covariate="soc")
        draw_truth(figure, report, values, covariate="soc")
        figure.savefig(Path(plots) / "series_smooth_parameters.png", dpi=90)


def draw_truth(figure, report, values, covariate="T"):
    """The true values as a dashed line on each parameter panel."""
    x = np.asarray(report.covariates[covariate], dtype=float)
    panels = [axes for axes in figure.axes if axes.get_visible()]
    names = [name for name in report.names if report.roles[name] != "fixed"]
    for axes, name in zip(panels, names):
        axes.plot(x, values[:, report.names.index(name)], "--", color="black", linewidth=0.9, label="truth")
    panels[0].legend(fontsize=8)


def temperature_plots(folder):
    """Parameters against temperature and three fits of a 40-spectrum series, as PNG files in `folder`."""
    from kovrant_tools.plots import plot_series_fits, plot_series_parameters

    spectra, values = series(40, seed=11)
    report = kt.fit_series(spectra, CIRCUIT, **OPTIONS)
    figure = plot_series_parameters(report, covariate="T")
    draw_truth(figure, report, values)
    figure.savefig(Path(folder) / "series_temperature_parameters.png", dpi=90)
    plot_series_fits(report, [0, 20, 39]).savefig(Path(folder) / "series_temperature_fits.png", dpi=90)
    print(f"plots: Ea {report.laws['R1.r']['Ea']:.4f} eV (true {ENERGY}), written to {folder}")


MEASURED = Path(__file__).resolve().parent / "data" / "series" / "electrolyte_conductivity_temperatures.csv"


def measured(plots):
    """The measured electrolyte series: R0 Arrhenius in T per cell, joint against a line through independent fits."""
    import pandas as pd

    frame = pd.read_csv(MEASURED)
    spectra_ids = frame.groupby(["cell", "temperature_celsius"], sort=False).size().reset_index()
    kelvin = spectra_ids["temperature_celsius"].to_numpy() + 273.15
    began = time.process_time()
    reports = kt.fit_series(frame, "R0-CPE1", ids=["cell", "temperature_celsius"], by="cell",
                            laws={"R0.r": "arrhenius(T)"}, covariates={"T": kelvin})
    seconds = time.process_time() - began
    print(f"measured: {len(spectra_ids)} spectra of 4 electrolytes, -30 to 60 C, R0-CPE1 with R0 Arrhenius "
          f"in T: {seconds:.2f} s CPU")
    print(f"  {'cell':<24} {'Ea joint eV':>12} {'95 % interval':>18} {'Ea line eV':>11} {'chi2 joint':>11} "
          f"{'chi2 independent':>17}")
    for cell, report in reports.items():
        low, high = report.global_intervals["R0.r:Ea"]
        inverse_kt = 1 / (BOLTZMANN_EV * report.covariates["T"])
        line = np.polyfit(inverse_kt, np.log(report.independent_params["R0.r"]), 1)[0]
        print(f"  {cell:<24} {report.laws['R0.r']['Ea']:>12.4f} {f'[{low:.4f}, {high:.4f}]':>18} {line:>11.4f} "
              f"{report.chi_square_total:>11.4g} {report.independent_chi_square.sum():>17.4g}")
    if plots:
        from kovrant_tools.plots import plot_series_fits, plot_series_parameters

        report = reports["WOC_23032021_BM063_4"]
        plot_series_parameters(report, covariate="T").savefig(Path(plots) / "series_measured_parameters.png", dpi=90)
        plot_series_fits(report, [0, 5, 9]).savefig(Path(plots) / "series_measured_fits.png", dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--counts", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--coverage", type=int, default=200)
    parser.add_argument("--plots", help="folder for series_smooth_parameters.png and the "
                                        "series_temperature_*.png plots")
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--baseline", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        one_count(args.one, args.baseline)
        return
    speed(args.counts)
    if args.coverage:
        coverage(args.coverage)
    smoothing(args.plots)
    measured(args.plots)
    if args.plots:
        temperature_plots(args.plots)


if __name__ == "__main__":
    main()
