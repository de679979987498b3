#!/usr/bin/env bash
# Runs the C++ and Python tests against a build instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer (not part of CI: slow).
# Uses .venv (scripts/setup.sh ".[test]"), the interpreter scripts/fuzz.sh uses
# with the same build.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/sanitize
python=.venv/bin/python
cmake -S . -B "$build_dir" -DKOVRANT_SANITIZE=ON -DKOVRANT_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
"$build_dir/kovrant_tests" --gtest_brief=1

# The interpreter itself is not instrumented: load the runtimes first, and
# leave CPython's own allocations out of the leak report. The linkage check is
# left out: an instrumented module links the sanitizer runtimes by design.
runtimes="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
LD_PRELOAD="$runtimes" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH="$build_dir" "$python" -m pytest -q -p no:cacheprovider tests/python \
  --deselect tests/python/test_linkage.py::test_module_links_only_the_c_and_cpp_runtime "$@"
