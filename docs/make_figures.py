"""Draws the pictures of the documentation into docs/img (run by scripts/docs.sh from the repository root).

Each picture is made by the same calls the pages show, on the bundled
measured spectrum, so the pages and the pictures cannot drift apart.
"""
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # a script of our own: no window
import matplotlib.pyplot as plt  # noqa: E402

import kovrant_tools as kt  # noqa: E402
from kovrant_tools.plots import plot_kramers_kronig  # noqa: E402
from kovrant_tools.preprocessing import drop_inductive  # noqa: E402

IMAGES = Path(__file__).resolve().parent / "img"
SPECTRUM = "data/measured/li_ion_battery.csv"


def save(figure, name):
    figure.savefig(IMAGES / name, dpi=100)
    plt.close(figure)
    print(f"wrote docs/img/{name}")


def main():
    IMAGES.mkdir(exist_ok=True)
    spectrum = kt.read_spectrum(SPECTRUM)
    save(kt.plot_spectra([spectrum]), "workflow_spectrum.png")

    check = kt.kramers_kronig(spectrum)
    save(plot_kramers_kronig(check), "workflow_kk.png")

    cell = drop_inductive(spectrum)
    ranking = kt.rank_circuits(cell)
    name, best = ranking[0]
    save(kt.plot_fit(best, source=SPECTRUM), "workflow_fit.png")

    figure, axes = plt.subplots(1, 3, figsize=(14, 4.6), layout="constrained")
    for ax, (candidate, report) in zip(axes, ranking[:3]):
        kt.plot_fit(report, kind="nyquist", ax=ax)
        ax.set_title(f"{candidate}: AIC {report.aic:.0f}", fontsize=10)
    save(figure, "workflow_compare.png")

    figure, axes = plt.subplots(1, 2, figsize=(12, 4.8), layout="constrained")
    kt.plot_fit(best, kind="nyquist", nyquist="log", ax=axes[0])
    kt.plot_fit(best, kind="residuals", ax=axes[1])
    save(figure, "single_panels.png")


if __name__ == "__main__":
    main()
