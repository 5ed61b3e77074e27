#!/usr/bin/env bash
# The main job: build and install verdalix, then compress a real recorded
# signal (PyWavelets' ECG) with every wavelet and coder and print what it
# cost and gained.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_system_packages
ensure_python_packages python3
python3 -c "import pywt" 2>/dev/null || python3 -m pip install --quiet PyWavelets
section "building and installing verdalix"
python3 -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .
section "compressing pywt.data.ecg()"
python3 examples/quickstart.py
