#!/usr/bin/env bash
# The main job: build and install verdalix into the project's environment
# (.venv/<version>), then compress a real recorded signal (PyWavelets' ECG)
# with every wavelet and coder and print what it cost and gained. Installs
# only what that needs: a C++ compiler, CMake/Ninja, zlib's headers, and in
# the environment NumPy, scikit-build-core and PyWavelets.
set -euo pipefail
cd "$(dirname "$0")/.."
PROJECT_ROOT=$(pwd)
source scripts/lib.sh
ensure_system_packages "${BUILD_SYSTEM_PACKAGES[@]}"
PY=$(project_venv python3)
section "building and installing verdalix into ${PY%/bin/python}"
install_verdalix "$PY" example
section "compressing pywt.data.ecg()"
"$PY" examples/quickstart.py
