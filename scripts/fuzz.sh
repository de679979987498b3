#!/usr/bin/env bash
# Runs each fuzz target of tests/fuzz for SECONDS (default 600) on the build
# instrumented with AddressSanitizer and UndefinedBehaviorSanitizer, one after
# another, and prints libFuzzer's last status line (executions, coverage) of
# each; a finding is shown and the next target still runs.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...], TARGET as in
# tests/fuzz/fuzz_TARGET.py. Needs .venv with numpy and atheris
# (scripts/setup.sh ".[test]"). Findings go to build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-600}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parser weights spectrum composition)
python=.venv/bin/python

build_dir=build/sanitize
cmake -S . -B "$build_dir" -DKOVRANT_SANITIZE=ON -DKOVRANT_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build_dir" --target kovrant -j 2

# The interpreter is not instrumented: load the runtimes at start-up and
# leave CPython's own allocations out of the leak report. Ahead of them goes
# the library that hands coverage on to atheris's libFuzzer (the runtimes'
# do-nothing callbacks would swallow it), so the runtimes are not first.
mkdir -p build/fuzz/findings
gcc -O2 -shared -fPIC -o build/fuzz/coverage_forwarding.so tests/fuzz/coverage_forwarding.c -ldl
runtimes="$PWD/build/fuzz/coverage_forwarding.so:$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
fuzzer_core="$("$python" -c "import atheris, glob, os
print(glob.glob(os.path.join(os.path.dirname(atheris.__file__), 'core_with_libfuzzer*.so'))[0])")"
status=0
for target in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target, $seconds s"
  if KOVRANT_FUZZER_CORE="$fuzzer_core" LD_PRELOAD="$runtimes" \
    ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:quarantine_size_mb=64 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH="$build_dir:$PWD" \
    "$python" "tests/fuzz/fuzz_$target.py" -max_total_time="$seconds" -rss_limit_mb=4096 \
    -artifact_prefix="build/fuzz/findings/$target-" "$corpus" "tests/fuzz/corpus/$target" \
    2>"build/fuzz/$target.log"; then
    grep -E "^#[0-9]+" "build/fuzz/$target.log" | tail -n 1
  else
    status=1
    tail -n 40 "build/fuzz/$target.log"
  fi
done
exit $status
