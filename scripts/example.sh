#!/usr/bin/env bash
# The main job: installs kovrant, ranks the built-in circuits on the bundled
# sample spectrum by AIC, fits the best one from its machine-learning guess,
# prints the report and writes it (JSON, CSV) with the ranking and a
# Nyquist/Bode/residual plot to out/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ".[plot]"
.venv/bin/kovrant fit data/sample_randles.csv --rank --out out "$@"
