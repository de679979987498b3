#!/usr/bin/env bash
# Runs every test: the C++ core tests (GoogleTest through ctest), the
# Python API tests (pytest) against the installed module, and a short smoke
# run of each fuzz target (skipped without atheris; scripts/fuzz.sh runs
# them for longer on the sanitizer build).
set -euo pipefail
cd "$(dirname "$0")/.."

# One build compiles the core once: the wheel's build also builds the C++ tests.
build_dir=build/tests
bash scripts/setup.sh ".[test]" --config-settings=cmake.define.KOVRANT_BUILD_TESTS=ON \
  --config-settings=build-dir="$build_dir"
(cd "$build_dir" && ../../.venv/bin/ctest --output-on-failure -j "$(nproc)")

# Run from the tests folder so that the installed module, not the source tree, is imported.
.venv/bin/python -m pytest -q tests/python

if .venv/bin/python -c "import atheris" 2>/dev/null; then
  # The repository root on the path: the weight files' helpers import the tools package.
  for target in parser weights spectrum composition readers; do
    corpus="build/fuzz-smoke/$target"
    mkdir -p "$corpus"
    echo "fuzz smoke: $target"
    PYTHONPATH=. .venv/bin/python "tests/fuzz/fuzz_$target.py" -max_total_time=20 -rss_limit_mb=4096 \
      -artifact_prefix="build/fuzz-smoke/$target-" "$corpus" "tests/fuzz/corpus/$target" 2>"$corpus.log" ||
      { tail -n 40 "$corpus.log"; exit 1; }
  done
else
  echo "fuzz smoke skipped: atheris is not installed"
fi
