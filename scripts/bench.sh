#!/usr/bin/env bash
# Runs the comparison with peer compressors and writes bench/results/ (a
# Markdown table, the raw JSON and PNG plots). Installs what a fresh machine
# lacks: the Debian build packages, then a virtual environment in
# build/bench-venv with the optional peers (bench/requirements.txt) and
# verdalix itself, so the pins there never touch the system interpreter.
#
#   scripts/bench.sh            # full run (tens of minutes on 2 cores)
#   scripts/bench.sh --quick    # about a minute, into build/bench-quick/
#   scripts/bench.sh --tests-only   # set up, then run only the suite's own tests
# Further arguments go to bench/compare.py (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_system_packages "${BUILD_SYSTEM_PACKAGES[@]}" libbenchmark-dev

tests_only=0
if [[ ${1-} == --tests-only ]]; then
  tests_only=1
  shift
fi

# VERDALIX_BENCH_BUILD may name an existing Release build (the test command
# passes its own) so the benchmarks are not compiled twice.
cpp_build=${VERDALIX_BENCH_BUILD:-build/bench-cpp}
section "building the C++ benchmarks in $cpp_build"
if [[ ! -f $cpp_build/CMakeCache.txt ]]; then
  cmake -S . -B "$cpp_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVERDALIX_BENCH=ON \
    -DVERDALIX_TESTS=OFF -DVERDALIX_PYTHON=OFF >/dev/null
fi
cmake --build "$cpp_build" -j2 --target bench_codec bench_wavelet

venv=build/bench-venv
# SciPy 1.11 (the ECG recording) has wheels for CPython 3.9 to 3.12 only.
python=python3
for candidate in python3.11 python3.12 python3; do
  if command -v "$candidate" >/dev/null &&
     "$candidate" -c 'import sys; sys.exit(not (3, 11) <= sys.version_info[:2] <= (3, 12))'; then
    python=$candidate
    break
  fi
done
if [[ ! -x $venv/bin/python ]]; then
  section "creating $venv with $python"
  "$python" -m venv "$venv"
fi
section "installing the optional peers"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet -r bench/requirements.txt "scikit-build-core>=0.10"
section "building and installing verdalix into $venv"
"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
  -C build-dir=build/bench-wheel .

section "testing the suite"
VERDALIX_BENCH_BUILD=$cpp_build "$venv/bin/python" -m pytest -q bench/tests
[[ $tests_only -eq 1 ]] && exit 0

section "comparing"
"$venv/bin/python" bench/compare.py --cpp-build "$cpp_build" "$@"
