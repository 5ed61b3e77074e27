# Shared helpers of the project scripts (sourced, not run).
#
# Everything Python runs in project-local virtual environments, one per CPython
# version (.venv/3.11, .venv/3.12, ...), created on first use and reused after,
# so the scripts neither need nor change the interpreters of the machine.
# What goes into them is named once, in pyproject.toml: the build requirements
# ([build-system] requires) and the extras `example` (the main job) and `test`
# (the test command, on top of `example`).

section() { printf '\n=== %s (%s) ===\n' "$*" "$(date +%T)"; }

# Debian packages, one list per purpose. The main job needs only a C++20
# compiler, CMake/Ninja and zlib's headers; the tests add their tools on top
# (pkg-config builds the C example against an installed tree; HDF5's headers
# check the filter's own declarations of its ABI, and h5dump reads a file
# through the plugin: the filter itself needs neither).
BUILD_SYSTEM_PACKAGES=(g++ zlib1g-dev ninja-build cmake)
TEST_SYSTEM_PACKAGES=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev valgrind
                      pkg-config libhdf5-dev hdf5-tools)

# ensure_system_packages PKG...: installs those that are missing.
ensure_system_packages() {
  local missing=()
  for pkg in "$@"; do
    case "$pkg" in
      # A newer cmake/ninja from pip is as good as Debian's.
      cmake) command -v cmake >/dev/null && continue ;;
      ninja-build) command -v ninja >/dev/null && continue ;;
    esac
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [[ ${#missing[@]} -gt 0 ]]; then
    section "installing ${missing[*]}"
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

# project_venv PYTHON [SUFFIX]: prints the python of the project's environment
# for PYTHON's version (.venv/<version><SUFFIX>), creating it on first use.
project_venv() {
  local py=$1 suffix=${2-} ver dir
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  dir=$PROJECT_ROOT/.venv/$ver$suffix
  if [[ ! -x $dir/bin/python ]]; then
    section "creating $dir" >&2
    "$py" -m venv "$dir" >&2
    "$dir/bin/python" -m pip install --quiet --upgrade pip >&2
  fi
  echo "$dir/bin/python"
}

# install_verdalix VENV_PYTHON EXTRAS: the build requirements, then verdalix
# built from this tree with the given extras ("example" or "test").
install_verdalix() {
  local vpy=$1 extras=$2
  local requires
  mapfile -t requires < <("$vpy" -c 'import tomllib, sys
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))' "$PROJECT_ROOT/pyproject.toml")
  "$vpy" -m pip install --quiet "${requires[@]}"
  # A local tree is always rebuilt (incrementally, in build/<wheel tag>).
  "$vpy" -m pip install --quiet --no-build-isolation "$PROJECT_ROOT[$extras]"
}

# Every CPython 3.11..3.13 on this machine, python3 first (pyenv shims answer
# for versions that are not selected, so each is probed).
python_interpreters() {
  local seen=() candidates=(python3)
  for v in 3.11 3.12 3.13; do
    candidates+=("python$v")
    for p in /root/.pyenv/versions/$v*/bin/python$v /usr/bin/python$v; do
      [[ -x $p ]] && candidates+=("$p")
    done
  done
  for py in "${candidates[@]}"; do
    local exe ver
    exe=$("$py" -c 'import sys; print(sys.executable)' 2>/dev/null) || continue
    ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    [[ $ver == 3.1[1-3] ]] || continue
    [[ " ${seen[*]-} " == *" $ver "* ]] && continue
    seen+=("$ver")
    echo "$exe"
  done
}
