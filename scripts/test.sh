#!/usr/bin/env bash
# Runs every test: the C++ core tests (GoogleTest through ctest) and the
# Python API tests (pytest) against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh ".[test]"

build_dir=build/cpp-tests
.venv/bin/cmake -S . -B "$build_dir" -DKOVRANT_BUILD_EXTENSION=OFF -DKOVRANT_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
.venv/bin/cmake --build "$build_dir" -j "$(nproc)"
(cd "$build_dir" && ../../.venv/bin/ctest --output-on-failure -j "$(nproc)")

# Run from the tests folder so that the installed module, not the source tree, is imported.
.venv/bin/python -m pytest -q tests/python
