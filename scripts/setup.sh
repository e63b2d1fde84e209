#!/usr/bin/env bash
# Installs everything zelki needs on a fresh Debian 12 machine (run as root or with sudo):
# the C++ libraries from Debian, a virtual environment .venv with the Python packages, and the
# build of zelki into it. Safe to run again: each step is skipped when already done.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(g++ libeigen3-dev libopenblas-dev liblapack-dev nlohmann-json3-dev libgtest-dev
                 python3-venv)
missing=()
for pkg in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
# shellcheck disable=SC1091
source .venv/bin/activate
python -m pip install -q --upgrade pip
python -m pip install -q numpy pytest pybind11 "scikit-build-core>=0.10" cmake ninja matplotlib scikit-learn
# Build zelki into the environment (incremental: the build tree lives in build/).
python -m pip install -q --no-build-isolation .
