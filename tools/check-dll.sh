#!/usr/bin/env bash
# Checks the built library as a host would see it: a 32-bit PE for i386, one
# export named pluginFun, only the imports on the allow-list below (no C
# runtime DLL), and its size within the release limit.
# Usage: tools/check-dll.sh PATH/TO/Dormex.dll
set -uo pipefail
# objdump's words are parsed below: never translated.
export LC_ALL=C

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

# Every function the plug-in imports, by DLL: exactly what its own code calls
# and nothing of a compiler runtime. A new import fails until it is added here.
# The last two kernel32 lines seed the stack guard and end the process when a
# cookie does not match.
allowed_imports="
KERNEL32.dll CloseHandle CreateEventA CreateFileA CreateThread FreeLibrary
KERNEL32.dll FreeLibraryAndExitThread GetLastError GetLocalTime GetModuleHandleExA GetProcessHeap
KERNEL32.dll HeapAlloc HeapFree HeapReAlloc ReadFile SetEvent WaitForSingleObject WriteFile
KERNEL32.dll GetCurrentProcessId GetSystemTimeAsFileTime QueryPerformanceCounter
KERNEL32.dll GetCurrentProcess IsProcessorFeaturePresent TerminateProcess
USER32.dll MessageBoxA
SHELL32.dll ShellExecuteA"
allowed=$(awk 'NF { for (i = 2; i <= NF; i++) print tolower($1) "!" $i }' <<<"$allowed_imports")

# "DLL Name: X" opens each DLL's list; its functions follow as "vma hint name".
imports=$(awk '/^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
               dll != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ { print dll "!" $3; next }
               /^[[:space:]]*$/ { next }
               /^[[:space:]]*[0-9a-f]+\t/ { dll = "" }' <<<"$dump")
[ -n "$imports" ] || fail "no import table found"
while read -r import; do
  [ -z "$import" ] && continue
  grep -qxF "$import" <<<"$allowed" || fail "imports $import, which is not on the allow-list"
done <<<"$imports"

# The largest file the release may be, in bytes.
size_limit=$((12 * 1024))
size=$(stat -c %s "$dll")
[ "$size" -le "$size_limit" ] || fail "is $size bytes, more than the $size_limit allowed"

if [ "$failures" -ne 0 ]; then
  echo "check-dll: $failures problem(s) in $dll" >&2
  exit 1
fi
echo "check-dll: $dll: $size bytes (limit $size_limit), pei-i386, exports pluginFun only," \
  "imports $(wc -l <<<"$imports") allowed functions: $(tr '\n' ' ' <<<"$imports" | sed 's/ $//')"
