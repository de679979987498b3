#!/usr/bin/env bash
# Installs what building and testing kovrant needs: Debian packages (only when
# missing), a virtual environment in .venv, and the package itself.
set -euo pipefail
cd "$(dirname "$0")/.."

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
  $sudo_prefix apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_prefix apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
# Packages built from source without isolation (galvani) need a setuptools
# that can build wheels; the one a new venv carries cannot.
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja "setuptools>=70.1"
.venv/bin/python -m pip install -q "$@" --no-build-isolation .
