#!/usr/bin/env bash
# Prints the size of the release Dormex.dll against its goal and the functions
# it imports, DLL by DLL.
#
# usage: bench/dll-figures.sh [path/to/Dormex.dll]
# Without an argument it builds build/win32/Dormex.dll first (make dll).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dll=${1:-}
if [ -z "$dll" ]; then
  make -C "$root" --no-print-directory dll >/dev/null
  dll=$root/build/win32/Dormex.dll
fi
[ -f "$dll" ] || { echo "dll-figures: no $dll" >&2; exit 1; }

goal=$((15 * 1024))
size=$(stat -c %s "$dll")
verdict=met
[ "$size" -le "$goal" ] || verdict=MISSED
echo
printf '%-44s %-22s %-10s %s\n' "Figure" "Goal" "" ""
printf '%-44s %-22s %-10s %s\n' "Dormex.dll size (bytes, release, stripped)" "<= $goal (15 KB)" "$size" "$verdict"

echo
echo "Imports of $dll:"
i686-w64-mingw32-objdump -p "$dll" | awk '
  /DLL Name:/ { name = $3; printf "  %-14s", name ":"; next }
  name != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ { printf " %s", $3; next }
  name != "" && /^[[:space:]]*$/ { print ""; name = "" }
'
