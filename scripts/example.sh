#!/usr/bin/env bash
# The main job: installs kovrant, then works on the bundled sample spectrum.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ".[plot]"
.venv/bin/python -m kovrant_tools data/sample_randles.csv --circuit randles "$@"
