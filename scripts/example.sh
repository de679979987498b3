#!/usr/bin/env bash
# The main job, on a measured lithium-ion cell spectrum: installs kovrant,
# checks the spectrum with a Kramers-Kronig test, ranks the eleven built-in
# circuits by AIC (each fitted from its machine-learning guess), fits the best
# one, prints the report and writes it (JSON, CSV) with the ranking, the
# Nyquist/Bode/residual plot and the KK residual plot to out/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ".[plot]"
spectrum=data/measured/li_ion_battery.csv
# The cell's cabling shows as an inductive tail at high frequency: the KK model gets an inductance.
.venv/bin/kovrant validate "$spectrum" --inductance --capacitance --plot out/li_ion_battery_kk.png
.venv/bin/kovrant fit "$spectrum" --rank --out out "$@"
# Distribution of relaxation times of the same spectrum (tau = 1/(2 pi f)): table of peaks, JSON and plot.
.venv/bin/kovrant drt "$spectrum" --json out/li_ion_battery_drt.json --plot out/li_ion_battery_drt.png
