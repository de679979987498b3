#!/usr/bin/env bash
# Installs what building and testing kovrant needs: Debian packages (only when
# missing), a virtual environment in .venv, and the package itself.
set -euo pipefail
cd "$(dirname "$0")/.."

# Long steps run in the background while a line every 30 s says they are alive.
run_with_progress() {
  local message=$1
  shift
  echo "setup: $message"
  local start=$SECONDS next=30
  "$@" &
  local pid=$!
  # A background job ignores Ctrl-C in a script: pass it on.
  trap 'kill "$pid" 2>/dev/null; exit 130' INT TERM
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    if ((SECONDS - start >= next)); then
      echo "setup:   still working, $((SECONDS - start)) s so far"
      next=$((next + 30))
    fi
  done
  trap - INT TERM
  wait "$pid"
  echo "setup:   done in $((SECONDS - start)) s"
}

# cminpack and pcg-cpp are vendored under third_party/; GoogleTest is only for
# the C++ tests.
debian_packages=(g++ cmake libgtest-dev)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_prefix=""
  [ "$(id -u)" -eq 0 ] || sudo_prefix="sudo"
  run_with_progress "installing Debian packages: ${missing[*]}" \
    bash -c "$sudo_prefix apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo_prefix apt-get install -y -qq ${missing[*]} >/dev/null"
fi

if [ ! -x .venv/bin/python ]; then
  echo "setup: creating the virtual environment .venv"
  python3 -m venv .venv
fi
# Packages built from source without isolation (galvani) need a setuptools
# that can build wheels; the one a new venv carries cannot.
run_with_progress "installing the build tools into .venv (pip, scikit-build-core, numpy, cmake, ninja)" \
  bash -c '.venv/bin/python -m pip install -q --upgrade pip &&
    .venv/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja "setuptools>=70.1"'
extras=${1:-}
run_with_progress "building and installing kovrant${extras:+ with $extras}: compiling the C++ core takes about 4 minutes on 2 cores the first time, seconds after small changes" \
  .venv/bin/python -m pip install -q "$@" --no-build-isolation .
echo "setup: ready; the kovrant command is .venv/bin/kovrant"
