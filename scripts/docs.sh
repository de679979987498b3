#!/usr/bin/env bash
# Builds the documentation site into build/site/ (open build/site/index.html): draws the
# pictures of the worked example with the installed package, then runs
# mkdocs with warnings as errors. Needs the docs extra:
#   bash scripts/setup.sh ".[docs]"
# `bash scripts/docs.sh serve` serves the pages at http://127.0.0.1:8000 instead.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "docs: drawing the pictures into docs/img"
.venv/bin/python docs/make_figures.py
if [ "${1:-}" = "serve" ]; then
  exec .venv/bin/python -m mkdocs serve
fi
echo "docs: building the site into build/site/"
.venv/bin/python -m mkdocs build --strict --site-dir build/site
echo "docs: done; open build/site/index.html"
