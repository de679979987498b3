#!/usr/bin/env bash
# The main job: installs kovrant, then works on the bundled sample spectrum.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ".[plot]"
.venv/bin/python -m kovrant_tools data/sample_randles.csv --circuit randles \
  --values R0.r=0.015,R1.r=0.02,W1.aw=0.004,CPE1.q=2,CPE1.alpha=0.85 --plot out/sample_randles.png "$@"
