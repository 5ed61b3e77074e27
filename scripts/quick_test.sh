#!/usr/bin/env bash
# The contributor's inner loop: the C++ unit tests and the Python tests under
# one CPython (the first of 3.11..3.13 found), built incrementally, without
# sanitizers, valgrind, fuzzing, benchmarks or the documentation build. The
# full scripts/test.sh (what CI runs) does all of those on every CPython.
# Arguments go to pytest (`scripts/quick_test.sh -k cli -x`).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PROJECT_ROOT=$ROOT

source scripts/lib.sh
ensure_system_packages "${BUILD_SYSTEM_PACKAGES[@]}" libgtest-dev

section "C++ tests"
cmake -S . -B build/quick -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVERDALIX_TESTS=ON -DVERDALIX_PYTHON=OFF >/dev/null
cmake --build build/quick -j2
ctest --test-dir build/quick --output-on-failure -j2

mapfile -t interpreters < <(python_interpreters)
vpy=$(project_venv "${interpreters[0]}")
section "Python tests under $($vpy --version)"
install_verdalix "$vpy" test
(cd "$ROOT/tests/python" && "$vpy" -m pytest -q "$ROOT/tests/python" "$@")
