#!/usr/bin/env bash
# Builds the release and packs dist/Dormex-<version>-win32.zip: Dormex.dll,
# dormex-host.exe, README.txt (Russian) and README.en.txt, the default
# dormex.ini and SHA256SUMS. The zip's
# bytes depend only on the commit: fixed entry order, times and attributes.
# Prints the zip's path, size and SHA-256.
#
# usage: tools/dist.sh [BUILD_DIR]     (default build/dist; JOBS=n for the build)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${1:-build/dist}
jobs=${JOBS:-2}

# A release build of the two programs only; the tests are not shipped.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake \
  -DCMAKE_BUILD_TYPE=Release -DDORMEX_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target Dormex dormex-host >/dev/null
tools/check-dll.sh "$build/Dormex.dll" >/dev/null

# The version the resource carries, from the header it is built with.
version=$(sed -n 's/^#define DORMEX_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/dormex_version.h")
[ -n "$version" ] || { echo "dist: no version in $build/generated/dormex_version.h" >&2; exit 1; }

# Entry times: the commit's time, so a rebuild later gives the same zip.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

stage=$build/package
rm -rf "$stage"
mkdir -p "$stage" dist
cp "$build/Dormex.dll" "$build/dormex-host.exe" "$stage/"
# The users' own language first; the same text in English beside it.
python3 tools/readme-txt.py --whole docs/README.ru.md "$stage/README.txt"
python3 tools/readme-txt.py README.md "$stage/README.en.txt"

# The example dormex.ini is the default file exactly as the DLL holds and
# writes it: taken from the DLL, checked against the size the source declares.
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

files=(Dormex.dll dormex-host.exe README.txt README.en.txt dormex.ini)
(cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS)
files+=(SHA256SUMS)

zip=dist/Dormex-$version-win32.zip
python3 - "$zip" "$stage" "${files[@]}" <<'PY'
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
