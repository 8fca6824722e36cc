#!/usr/bin/env bash
# Checks the built library as a host would see it: a 32-bit PE for i386, one
# export named pluginFun, and imports from Windows system DLLs only, so the
# DLL runs without any compiler runtime DLL beside it.
# Usage: tools/check-dll.sh PATH/TO/Dormex.dll
set -uo pipefail

objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
dll=${1:-}
if [ -z "$dll" ] || [ ! -f "$dll" ]; then
  echo "check-dll: no such file: ${dll:-(none given)}" >&2
  exit 2
fi
if ! dump=$("$objdump" -p "$dll" 2>&1); then
  echo "check-dll: $objdump could not read $dll: $dump" >&2
  exit 2
fi

failures=0
fail() { echo "check-dll: $dll: $*" >&2; failures=$((failures + 1)); }

format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$dump" | head -n 1)
[ "$format" = "pei-i386" ] || fail "format is '${format:-unknown}', expected pei-i386 (PE32 for i386)"

# Named exports are listed under "[Ordinal/Name Pointer] Table", one "[ n] name" a line.
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && /^[[:space:]]*\[ *[0-9]+\]/ {print $NF; next}
               on {exit}' <<<"$dump")
address_count=$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]\+\([0-9a-fA-F]\+\)$/\1/p' <<<"$dump" | head -n 1)
if [ "$exports" != "pluginFun" ]; then
  fail "named exports are [$(tr '\n' ' ' <<<"$exports" | sed 's/ $//')], expected exactly [pluginFun]"
elif [ "$((16#${address_count:-0}))" -ne 1 ]; then
  fail "export address table holds $((16#${address_count:-0})) entries, expected 1"
fi

allowed=" kernel32.dll user32.dll shell32.dll msvcrt.dll "
imports=$(sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' <<<"$dump")
[ -n "$imports" ] || fail "no import table found"
while read -r name; do
  [ -z "$name" ] && continue
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$name")
  case "$allowed" in
    *" $lower "*) ;;
    *) fail "imports $name; only KERNEL32, USER32, SHELL32 and msvcrt are allowed (link the runtime statically)" ;;
  esac
done <<<"$imports"

if [ "$failures" -ne 0 ]; then
  echo "check-dll: $failures problem(s) in $dll" >&2
  exit 1
fi
echo "check-dll: $dll: pei-i386, exports pluginFun only, imports $(tr '\n' ' ' <<<"$imports" | sed 's/ $//')"
