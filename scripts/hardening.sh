#!/usr/bin/env bash
# Sanitizer, fuzzing and leak checks; scripts/test.sh runs this after the
# plain tests. Three steps, each failing the run on any finding:
#  1. One clang build (ASan + UBSan, -ffp-contract=off as in every build) of
#     the C++ tests and the libFuzzer targets; CTest runs the tests and
#     replays every target's seeds and past findings (tests/fuzz/findings/).
#  2. A short fuzz run of each target from its seeds (FUZZ_SECONDS each,
#     default 20: eight targets keep the whole test command under 20 minutes;
#     longer runs are for FUZZ_SECONDS=600 by hand), with the memory limits below.
#  3. The Python tests under valgrind memcheck, against a debug-info build
#     of the module: no invalid access anywhere, no error or definite leak
#     whose stack passes through the module.
# Safe to rerun: builds are incremental and fuzz corpora start afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PROJECT_ROOT=$ROOT
source scripts/lib.sh
ensure_system_packages "${BUILD_SYSTEM_PACKAGES[@]}" "${TEST_SYSTEM_PACKAGES[@]}"

FUZZ_SECONDS=${FUZZ_SECONDS:-20}
SAN_BUILD=build/hardening
PY_BUILD=build/hardening-python

# Nothrow allocations of impossible sizes are part of the tested behaviour,
# so they must return null rather than stop the process; leaks are checked.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

section "sanitizer build (clang, ASan + UBSan) of the tests and fuzz targets"
# No NDEBUG: the code's own assertions are checked too.
CC=clang CXX=clang++ cmake -S . -B "$SAN_BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  -DVERDALIX_SANITIZE=ON -DVERDALIX_FUZZ=ON -DVERDALIX_TESTS=ON \
  -DVERDALIX_PYTHON=OFF -DVERDALIX_BENCH=OFF >/dev/null
cmake --build "$SAN_BUILD" -j2
ctest --test-dir "$SAN_BUILD" --output-on-failure -j2

# Per target: the longest input, and the largest single allocation allowed
# (MiB), from the bounds the decoders promise for an input of that length L:
#  container     at most 2048·L + 4096 coefficients (the decision bound), as
#                4-byte floats: 64 MiB for L = 8192
#  stream        the same count as int16 bands, and as 2-byte encoder records
#                when the target re-encodes them: 32 MiB
#  arans         at most (2048·L + 4096) / 8 bytes per plane, 16 bytes of
#                encoder record per plane byte on re-encoding: 32 MiB
#  deflate       1032·L inflated bytes (DEFLATE's largest ratio), doubled by
#                vector growth in the reference: 17 MiB
#  chunk         decodes only chunks declaring at most 2^20 samples: the output
#                (8 MiB of float64) and one line's decoder, as a container's
#  h5 filter    the dataset's chunk (at most 2^20 samples of 8 bytes), the
#                container's samples decoded (as above) and once more for
#                the comparison: 72 MiB
#  header, round trip: small.
# A decoder that trusted a declared size (a header's 2^31 samples, a stream's
# 2^28 pairs) would allocate far more and be stopped as a finding.
fuzz_limits() {
  case $1 in
    fuzz_decompress_container) echo "8192 72" ;;
    fuzz_coefficient_stream)   echo "8192 40" ;;
    fuzz_arans_decode)         echo "8192 40" ;;
    fuzz_deflate_decompress)   echo "8192 24" ;;
    fuzz_parse_header)         echo "1024 16" ;;
    fuzz_round_trip)           echo "16384 32" ;;
    fuzz_decode_chunk)         echo "8192 96" ;;
    fuzz_h5_filter_decode)     echo "8192 72" ;;
    *) echo "4096 64" ;;
  esac
}

section "fuzzing each target for ${FUZZ_SECONDS} s"
FUZZ_DIR=$SAN_BUILD/tests/fuzz
RUN_DIR=$SAN_BUILD/fuzz-run
rm -rf "$RUN_DIR"
mkdir -p "$RUN_DIR"
for target in "$FUZZ_DIR"/fuzz_*; do
  [[ -x $target && -f $target ]] || continue
  name=$(basename "$target")
  read -r max_len malloc_mb < <(fuzz_limits "$name")
  corpus=$RUN_DIR/$name
  mkdir -p "$corpus"
  sources=("$FUZZ_DIR/seeds/$name")
  [[ -d tests/fuzz/findings/$name ]] && sources+=("tests/fuzz/findings/$name")
  # -timeout: no input may take seconds (decoding time follows input size).
  if ! "$target" -max_len="$max_len" -malloc_limit_mb="$malloc_mb" -rss_limit_mb=1536 \
       -timeout=10 -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
       -artifact_prefix="$RUN_DIR/$name-" "$corpus" "${sources[@]}" \
       >"$RUN_DIR/$name.log" 2>&1; then
    tail -n 60 "$RUN_DIR/$name.log"
    echo "FINDING in $name: input saved as $RUN_DIR/$name-*" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$RUN_DIR/$name.log" | sed "s|^|$name: |" || true
done

section "Python tests under valgrind memcheck"
# The newest CPython here (the module's target is 3.13).
# The newest CPython here (the module's target is 3.13), in its project
# environment (the test command has installed the `test` extra there).
PY=$(python_interpreters | while read -r p; do
       "$p" -c 'import sys; print("%d.%02d %s" % (*sys.version_info[:2], sys.executable))'
     done | sort | tail -n 1 | cut -d' ' -f2)
PY=$(project_venv "$PY")
"$PY" -c 'import pytest, numpy' 2>/dev/null || install_verdalix "$PY" test
cmake -S . -B "$PY_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVERDALIX_PYTHON=ON -DVERDALIX_TESTS=OFF -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$PY_BUILD" -j2 --target verdalix h5verdalix
# The package as installed: the extension as its __init__ (copied, so the
# path memcheck reports is the one imported), the Python parts beside it.
SITE=$ROOT/$PY_BUILD/site
rm -rf "$SITE" && mkdir -p "$SITE/verdalix"
cp -r "$ROOT"/python/verdalix/. "$SITE/verdalix/"
MODULE=$(ls "$ROOT/$PY_BUILD"/python/__init__*.so)
cp "$MODULE" "$SITE/verdalix/"
MODULE=$SITE/verdalix/$(basename "$MODULE")
mkdir -p "$SITE/verdalix/hdf5_plugin"
cp "$ROOT/$PY_BUILD/hdf5/libh5verdalix.so" "$SITE/verdalix/hdf5_plugin/"
export PYTHONPATH=$SITE
"$PY" -c 'import sys, verdalix; assert verdalix.__file__ == sys.argv[1], verdalix.__file__' "$MODULE"

# PYTHONMALLOC=malloc: objects come from malloc, where memcheck sees them,
# not from pymalloc arenas. The tracemalloc growth test is left to the plain
# run: under valgrind CPython's own caches grow past its margin. So is the
# mypy check of the stubs, which runs no native code and takes minutes there;
# tests that start worker processes (dask clusters); and the check that other
# threads run while the GIL is released, because valgrind runs one thread at
# a time and, scheduling unfairly, can starve the counting thread.
XML=$ROOT/$PY_BUILD/memcheck.xml
set +e
(cd tests/python && PYTHONMALLOC=malloc valgrind --tool=memcheck --xml=yes --xml-file="$XML" \
   --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
   --num-callers=50 "$PY" -m pytest -q -p no:cacheprovider \
   -k "not thousands_of_calls_leak_nothing and not type_checkers and not let_other_threads_run" \
   -m "not worker_processes and not slow" ${VALGRIND_PYTEST_ARGS:-"$ROOT/tests/python"})
pytest_status=$?
set -e
[[ $pytest_status -eq 0 ]] || { echo "pytest under valgrind failed ($pytest_status)" >&2; exit 1; }

# No suppression file: rather than silence CPython's and NumPy's own reports
# (3.13 leaves interned strings allocated at exit), an error fails the run
# when one of its stacks passes through the module, or, for invalid
# accesses and frees, wherever it is.
"$PY" - "$XML" "$MODULE" <<'EOF'
import os
import sys
import xml.etree.ElementTree as ET

xml_file, module = sys.argv[1], sys.argv[2]
package_dir = os.path.dirname(module) + os.sep
always_fatal = {"InvalidRead", "InvalidWrite", "InvalidFree", "MismatchedFree", "Overlap",
                "InvalidJump", "SyscallParam", "InvalidMemPool", "FishyValue"}


def loader_rpath_scan(error):
    """The dynamic loader's word-at-a-time strncmp over an extension's RPATH
    (h5py's $ORIGIN entries) while Python dlopens it: memcheck cannot
    redirect strncmp inside ld.so, so it reports reads past the string's
    heap block that the SSE2 routine makes by design."""
    frames = list(error.iter("frame"))
    return (bool(frames) and "ld-linux" in (frames[0].findtext("obj") or "")
            and any(f.findtext("fn") == "decompose_rpath" for f in frames))


ours, fatal, others = [], [], 0
for error in ET.parse(xml_file).getroot().iter("error"):
    kind = error.findtext("kind")
    objects = {frame.findtext("obj") for frame in error.iter("frame")}
    text = error.findtext("what") or error.findtext("xwhat/text") or kind
    # The extension and the HDF5 filter plugin installed beside it.
    if any(o and o.startswith(package_dir) for o in objects):
        ours.append((kind, text))
    elif kind in always_fatal and not loader_rpath_scan(error):
        fatal.append((kind, text))
    else:
        others += 1
for kind, text in ours + fatal:
    print(f"memcheck: {kind}: {text}")
print(f"memcheck: {len(ours)} errors through the module or the plugin, {len(fatal)} invalid accesses "
      f"elsewhere, {others} reports from CPython/NumPy alone (not counted)")
sys.exit(1 if ours or fatal else 0)
EOF
