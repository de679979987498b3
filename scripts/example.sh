#!/usr/bin/env bash
# The main job: installs kovrant, fits the bundled sample spectrum from the
# default machine-learning guess, prints the result and writes a Nyquist/Bode plot.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ".[plot]"
.venv/bin/python -m kovrant_tools data/sample_randles.csv --circuit randles --plot out/sample_randles_fit.png "$@"
