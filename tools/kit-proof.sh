#!/usr/bin/env bash
# Runs the tests kit as a user on another Windows would: packs it from the Wine
# build, unpacks it into "C:\Проверка Dormex\" of a fresh Wine prefix whose Z:
# drive is gone (nothing of the build tree is reachable), runs
# `cmd /c run-tests.cmd` from C:\ under code page 1251 and a time zone at
# UTC-3:30, and reads report.txt back. Exits 1, saying why, unless every test
# passed under that code page and zone.
#
# usage: tools/kit-proof.sh [BUILD_DIR]   (default build/win32, already built)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${1:-build/win32}
begun=$SECONDS

export DORMEX_WINEPREFIX=$root/build/wineprefix-kit
export DORMEX_LANG=ru_RU.UTF-8
# Newfoundland's offset all year round: America/St_Johns is UTC-3:30 only in
# winter (UTC-2:30 from March to November), so a fixed zone of the same offset.
export DORMEX_TZ='<-0330>3:30'
# shellcheck source=wine-env.sh
. tools/wine-env.sh

fail() {
  echo "kit-proof: $*" >&2
  exit 1
}

kit_dir=$root/build/kit-proof
rm -rf "$kit_dir"
DORMEX_DIST_DIR=$kit_dir JOBS=${JOBS:-2} tools/dist.sh --kit "$build" >/dev/null
kit=$(ls "$kit_dir"/Dormex-tests-*-win32.zip)

rm -rf "$WINEPREFIX"
ensure_wine_prefix
rm "$WINEPREFIX/dosdevices/z:"
folder="$WINEPREFIX/drive_c/Проверка Dormex"
python3 -m zipfile -e "$kit" "$folder"

trap 'wineserver -k 2>/dev/null || true' EXIT
status=0
# From C:\, as the current folder of a user who typed the path.
(cd "$WINEPREFIX/drive_c" && timeout 900 "$root/tools/wine-run.sh" \
  cmd /c 'C:\Проверка Dormex\run-tests.cmd' </dev/null) || status=$?

report=$folder/report.txt
[ -f "$report" ] || fail "no report.txt after run-tests.cmd (exit code $status)"
sed -n '1,8p; /: passed /p' "$report" | sed 's/^\xEF\xBB\xBF//; s/^/kit-proof: /'
last=$(tail -n 1 "$report" | tr -d '\r')
echo "kit-proof: $last (exit code $status, $((SECONDS - begun)) s with the prefix)"
grep -q '^ANSI code page: 1251' "$report" || fail "the run was not under code page 1251"
grep -q '^Time zone: UTC-03:30' "$report" || fail "the run was not at UTC-3:30"
grep -q '^Folder: C:\\Проверка Dormex' "$report" || fail "the programs did not run from C:\\Проверка Dormex"
[ "$last" = "Dormex tests: all passed" ] || fail "not all passed; the whole report: $report"
[ "$status" -eq 0 ] || fail "run-tests.cmd exited with $status although its report says all passed"
