#!/usr/bin/env bash
# Builds the release and packs, in dist/:
#   Dormex-<version>-win32.zip        Dormex.dll, dormex-host.exe, README.txt
#                                     (Russian) and README.en.txt, the default
#                                     dormex.ini and SHA256SUMS;
#   Dormex-tests-<version>-win32.zip  the kit that runs the tests on a real
#                                     Windows: the same Dormex.dll, the DLL tests
#                                     and the watch-thread tests, run-tests.cmd,
#                                     README.txt, README.en.txt and SHA256SUMS.
# A zip's bytes depend only on the commit: fixed entry order, times and
# attributes. Prints each zip's path, size and SHA-256.
#
# usage: tools/dist.sh [--kit] [BUILD_DIR]     (default build/dist; JOBS=n for the build)
#   --kit               the tests zip only (`make wintest`)
#   DORMEX_DIST_DIR=DIR the zips go there instead of dist/
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
kit_only=0
if [ "${1:-}" = --kit ]; then
  kit_only=1
  shift
fi
build=${1:-build/dist}
jobs=${JOBS:-2}
out=${DORMEX_DIST_DIR:-dist}
tests=(dormex_wine_tests dormex_thread_tests)
# Where each program's tests are: run-tests.cmd gets the number of their TEST
# and TEST_F lines and fails a program that runs another number.
declare -A test_sources=([dormex_wine_tests]=tests/wine [dormex_thread_tests]=tests/threads)

# One release build for both zips: building the tests changes no byte of the
# two programs.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DDORMEX_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs" --target Dormex dormex-host "${tests[@]}" >/dev/null
tools/check-dll.sh "$build/Dormex.dll" >/dev/null

# The version the resource carries, from the header it is built with.
version=$(sed -n 's/^#define DORMEX_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/dormex_version.h")
[ -n "$version" ] || { echo "dist: no version in $build/generated/dormex_version.h" >&2; exit 1; }

# Entry times: the commit's time, so a rebuild later gives the same zip.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

# The example dormex.ini is the default file exactly as the DLL holds and
# writes it: taken from the DLL, checked against the size the source declares.
write_default_ini() {
  local stage=$1 default_size
  default_size=$(grep -rhoE 'DEFAULT_SETTINGS_FILE_SIZE = [0-9]+' src | grep -oE '[0-9]+$')
  python3 - "$stage/Dormex.dll" "$stage/dormex.ini" "$default_size" <<'PY'
import sys
dll, out, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = open(dll, "rb").read()
start = data.find(b"h_disconnect=")
if start < 0 or data.find(b"h_disconnect=", start + 1) >= 0:
    sys.exit(f"dist: {dll} does not hold the default settings file exactly once")
text = data[start:data.index(b"\0", start)]
if len(text) != size or text.count(b"\r\n") != 5 or not text.endswith(b"\r\n"):
    sys.exit(f"dist: default settings file in {dll} is {len(text)} bytes, expected {size} in five CR LF lines")
open(out, "wb").write(text)
PY
}

# Packs the named files of STAGE, then their SHA256SUMS, into ZIP.
pack_zip() {
  local zip=$1 stage=$2
  shift 2
  (cd "$stage" && sha256sum "$@" >SHA256SUMS)
  python3 - "$zip" "$stage" "$@" SHA256SUMS <<'PY'
import os, sys, time, zipfile
zip_path, stage, names = sys.argv[1], sys.argv[2], sys.argv[3:]
when = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
with zipfile.ZipFile(zip_path + ".tmp", "w") as archive:
    for name in names:
        entry = zipfile.ZipInfo(name, date_time=when)
        entry.create_system = 0             # MS-DOS attributes, as Windows writes them
        entry.external_attr = 0x20          # FILE_ATTRIBUTE_ARCHIVE, nothing from the umask
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, name), "rb") as file:
            archive.writestr(entry, file.read(), compresslevel=9)
os.replace(zip_path + ".tmp", zip_path)
PY
  echo "dist: $zip"
  echo "dist: $(stat -c %s "$zip") bytes"
  echo "dist: SHA-256 $(sha256sum "$zip" | cut -d' ' -f1)"
}

# A fresh, empty staging folder.
new_stage() {
  rm -rf "$1"
  mkdir -p "$1"
}

pack_release() {
  local stage=$build/package
  new_stage "$stage"
  cp "$build/Dormex.dll" "$build/dormex-host.exe" "$stage/"
  # The users' own language first; the same text in English beside it.
  python3 tools/readme-txt.py --whole docs/README.ru.md "$stage/README.txt"
  python3 tools/readme-txt.py README.md "$stage/README.en.txt"
  write_default_ini "$stage"
  pack_zip "$out/Dormex-$version-win32.zip" "$stage" Dormex.dll dormex-host.exe README.txt README.en.txt \
    dormex.ini
}

pack_kit() {
  local stage=$build/kit name
  new_stage "$stage"
  cp "$build/Dormex.dll" "$stage/"
  for name in "${tests[@]}"; do cp "$build/$name.exe" "$stage/"; done
  # cmd reads a script in the OEM code page, whatever it is, and wants CR LF.
  if LC_ALL=C grep -q '[^ -~]' tools/kit/run-tests.cmd; then
    echo "dist: tools/kit/run-tests.cmd must be ASCII" >&2
    exit 1
  fi
  local counts=() count
  for name in "${tests[@]}"; do
    count=$(cat "${test_sources[$name]}"/*.cpp | grep -cE '^TEST(_F)?\(' || true)
    counts+=(-e "s/@TEST_COUNT:$name@/$count/")
  done
  sed "${counts[@]}" -e 's/$/\r/' tools/kit/run-tests.cmd >"$stage/run-tests.cmd"
  if grep -q '@TEST_COUNT' "$stage/run-tests.cmd" ||
    grep '^call :runProgram ' "$stage/run-tests.cmd" | grep -qvE ' [1-9][0-9]*'$'\r''$'; then
    echo "dist: run-tests.cmd must name each program with the number of its tests" >&2
    exit 1
  fi
  python3 tools/readme-txt.py --section "Проверка на своём Windows" docs/README.ru.md "$stage/README.txt"
  python3 tools/readme-txt.py --section "Checking on your own Windows" README.md "$stage/README.en.txt"
  pack_zip "$out/Dormex-tests-$version-win32.zip" "$stage" Dormex.dll "${tests[@]/%/.exe}" run-tests.cmd \
    README.txt README.en.txt
}

mkdir -p "$out"
[ "$kit_only" = 1 ] || pack_release
pack_kit
