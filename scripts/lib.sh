# Shared helpers of the project scripts (sourced, not run).

section() { printf '\n=== %s ===\n' "$*"; }

# Debian packages the build and the tests need; installed only when missing.
SYSTEM_PACKAGES=(g++ zlib1g-dev libgtest-dev libbenchmark-dev ninja-build cmake
                 clang libclang-rt-14-dev valgrind)

ensure_system_packages() {
  local missing=()
  for pkg in "${SYSTEM_PACKAGES[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  # A newer cmake/ninja from pip is as good as Debian's.
  if [[ ${#missing[@]} -gt 0 ]]; then
    local still=()
    for pkg in "${missing[@]}"; do
      case "$pkg" in
        cmake) command -v cmake >/dev/null || still+=("$pkg") ;;
        ninja-build) command -v ninja >/dev/null || still+=("$pkg") ;;
        *) still+=("$pkg") ;;
      esac
    done
    missing=("${still[@]+"${still[@]}"}")
  fi
  if [[ ${#missing[@]} -gt 0 ]]; then
    section "installing ${missing[*]}"
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

ensure_python_packages() {
  local py=$1
  "$py" -c "import numpy, pytest" 2>/dev/null ||
    "$py" -m pip install --quiet "numpy>=1.25" "pytest>=7"
  "$py" -c "import scikit_build_core" 2>/dev/null ||
    "$py" -m pip install --quiet "scikit-build-core>=0.10"
}

# python3 first, then any other CPython 3.11..3.13 on this machine (pyenv
# shims answer for versions that are not selected, so each is probed).
python_interpreters() {
  local seen=() candidates=(python3)
  for v in 3.11 3.12 3.13; do
    candidates+=("python$v")
    for p in /root/.pyenv/versions/$v*/bin/python$v /usr/bin/python$v; do
      [[ -x $p ]] && candidates+=("$p")
    done
  done
  for py in "${candidates[@]}"; do
    local exe
    exe=$("$py" -c 'import sys; print(sys.executable)' 2>/dev/null) || continue
    local ver
    ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    [[ " ${seen[*]-} " == *" $ver "* ]] && continue
    seen+=("$ver")
    echo "$exe"
  done
}
