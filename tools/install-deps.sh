#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, and only what is missing.
set -euo pipefail

need_pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake ninja-build make g++ clang libclang-rt-14-dev libgtest-dev googletest \
         libbenchmark-dev mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
         binutils-mingw-w64-i686 xvfb xauth xdotool wine wine32:i386 x11-utils; do
  have "$p" || need_pkgs+=("$p")
done

if [ ${#need_pkgs[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${need_pkgs[*]}" >&2
  echo "Run as root, or: sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install ${need_pkgs[*]}" >&2
  exit 1
fi

echo "Installing: ${need_pkgs[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
