# Installs the Debian packages a script needs, once, quietly, saying what it installs.
# Usage: source this file, then: ensure_packages NAME...
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${missing[*]}"
  if [ -z "${VELMORA_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    export VELMORA_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building and testing need: host toolchain and test libraries, the MinGW-w64 cross
# compiler, PE readers, Wine on a headless X server with XTEST and pytest for the tests under it,
# and clang for the fuzzers.
VELMORA_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64
  binutils-mingw-w64-x86-64 icoutils)
VELMORA_WINE_PACKAGES=(wine wine64 xvfb xdotool x11-xserver-utils python3 python3-pytest)
VELMORA_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
