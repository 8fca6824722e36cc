#!/usr/bin/env bash
# Builds the release of HEAD twice, from two clones in scratch directories of
# different path lengths, one after the other under a different time zone,
# locale and umask, and compares Dormex.dll, dormex-host.exe, the test programs
# and both zips byte for byte. Prints each artifact's SHA-256; exits 1 when any differ.
#
# usage: tools/repro.sh             (KEEP=1 keeps the scratch directories)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
commit=$(git -C "$root" rev-parse HEAD)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dormex-repro.XXXXXX")
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT

first=$scratch/a
second=$scratch/second-build/with/a/much/longer/path
echo "repro: commit $commit"
build_in() {
  local dir=$1
  git clone -q --shared --no-checkout "$root" "$dir"
  git -C "$dir" -c advice.detachedHead=false checkout -q "$commit"
  (cd "$dir" && tools/dist.sh >"$dir/dist.log")
}
build_in "$first"
sleep 1
(export TZ=Pacific/Kiritimati LC_ALL=C.UTF-8; umask 077; build_in "$second")

failures=0
compare() {
  local name=$1 a=$2 b=$3 left right verdict=same
  left=$(sha256sum "$a" | cut -d' ' -f1)
  right=$(sha256sum "$b" | cut -d' ' -f1)
  if [ "$left" != "$right" ]; then
    verdict=DIFFERENT
    failures=$((failures + 1))
  fi
  printf 'repro: %-32s %s  %s  %s\n' "$name" "$left" "$right" "$verdict"
}
for name in Dormex.dll dormex-host.exe dormex_wine_tests.exe dormex_thread_tests.exe; do
  compare "$name" "$first/build/dist/$name" "$second/build/dist/$name"
done
for name in $(cd "$first/dist" && ls ./*.zip); do
  compare "${name#./}" "$first/dist/$name" "$second/dist/$name"
done

if [ "$failures" -ne 0 ]; then
  echo "repro: $failures artifact(s) differ between $first and $second" >&2
  [ "${KEEP:-0}" = 1 ] || echo "repro: run with KEEP=1 to keep both builds for a diff" >&2
  exit 1
fi
echo "repro: both builds gave the same bytes"
