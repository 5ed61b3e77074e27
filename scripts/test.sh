#!/usr/bin/env bash
# Installs what a fresh machine lacks, builds from a clean tree and runs every
# test: the C++ tests (CTest) and the Python tests (pytest, on every CPython
# from 3.11 to 3.13 found here, each in its own project environment
# .venv/<version> with the `test` and `docs` extras), and builds the
# documentation site. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PROJECT_ROOT=$ROOT

source scripts/lib.sh
ensure_system_packages "${BUILD_SYSTEM_PACKAGES[@]}" "${TEST_SYSTEM_PACKAGES[@]}"

section "C++ tests"
rm -rf build/tests
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVERDALIX_TESTS=ON -DVERDALIX_PYTHON=OFF -DVERDALIX_BENCH=ON
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

docs_built=""
for py in $(python_interpreters); do
  vpy=$(project_venv "$py")
  section "Python tests under $($vpy --version) in ${vpy%/bin/python}"
  install_verdalix "$vpy" test,docs
  (cd "$ROOT/tests/python" && "$vpy" -m pytest -q "$ROOT/tests/python")
  if [[ -z $docs_built ]]; then
    # Warnings are errors and every reference to our own objects must
    # resolve (-n): a broken link or a missing page fails here.
    section "documentation site (Sphinx) under $($vpy --version)"
    rm -rf build/docs
    "$vpy" -m sphinx -W --keep-going -n -q -b html docs build/docs
    docs_built=yes
  fi
done

# zarr-python 2 takes the numcodecs codec through its own code paths (decode
# into the chunk's array, no codec validation): its storage tests once, under
# 3.11 only, in a small environment of its own.
for py in $(python_interpreters); do
  [[ $("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])') == 3.11 ]] || continue
  vpy=$(project_venv "$py" -zarr2)
  section "storage tests under zarr-python 2 in ${vpy%/bin/python}"
  install_verdalix "$vpy" test-zarr2
  (cd "$ROOT/tests/python" && "$vpy" -m pytest -q test_zarr2_python.py test_numcodecs_codec.py)
done

section "benchmark suite tests (its own environment with the optional peers)"
VERDALIX_BENCH_BUILD=build/tests scripts/bench.sh --tests-only

if [[ -x scripts/hardening.sh ]]; then
  section "Sanitizers and fuzzing"
  scripts/hardening.sh
fi
section "all tests passed"
