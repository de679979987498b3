#!/usr/bin/env bash
# The main job, on a measured lithium-ion cell spectrum: installs kovrant,
# checks the spectrum with a Kramers-Kronig test, ranks an open set of circuits
# by BIC (the eleven built-ins, the circuit published with the spectrum, and
# the simpler circuits that degenerate fits equal), prints the ranking with its
# warnings and the pick's residuals, fits the pick, prints the report and
# writes it (JSON, CSV) with the Nyquist/Bode/residual plot and the KK residual
# plot to out/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ".[plot]"
spectrum=data/measured/li_ion_battery.csv
# The cell's cabling shows as an inductive tail at high frequency: the KK model gets an inductance.
.venv/bin/kovrant validate "$spectrum" --inductance --capacitance --plot out/li_ion_battery_kk.png
# The ranking goes to stderr, the pick's name to stdout.
pick=$(.venv/bin/python - "$spectrum" <<'PYTHON'
import sys

import numpy as np

import kovrant
from kovrant_tools import rank_circuits
from kovrant_tools import read_spectrum
from kovrant_tools.commands_fit import _ranking_table

spectrum = read_spectrum(sys.argv[1])
published = "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)"  # the circuit published with this spectrum
ranking = rank_circuits(spectrum, [*kovrant.Circuit.ml_circuits(), published])
print(_ranking_table(ranking), file=sys.stderr)
name, report = ranking[0]
residuals = np.abs(report.residuals)
print(f"\npick {name}: chi-square {report.chi_square:.4g}; |residual| median {np.median(residuals):.2%}, "
      f"max {residuals.max():.2%} at {report.frequencies[residuals.argmax()]:.4g} Hz\n", file=sys.stderr)
print(name)
PYTHON
)
.venv/bin/kovrant fit "$spectrum" --circuit "$pick" --out out "$@"
# Distribution of relaxation times of the same spectrum (tau = 1/(2 pi f)): table of peaks, JSON and plot.
.venv/bin/kovrant drt "$spectrum" --json out/li_ion_battery_drt.json --plot out/li_ion_battery_drt.png
