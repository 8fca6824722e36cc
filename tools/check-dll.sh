#!/usr/bin/env bash
# Checks the built library as a host would see it: a 32-bit PE for i386, one
# export named pluginFun, only the imports on the allow-list below (no C
# runtime DLL, nothing newer than Windows XP, and every import a safeguard
# needs), a header that names Windows XP, no thread-local storage, its size
# within the release limit, and its hardening: ASLR,
# DEP, NO_SEH with no handler registered in its code, the GUI subsystem, no
# section both writable and executable, and stack cookies against a guard the
# DLL seeds itself. The cookies are found through the linker map the build
# leaves beside the DLL (Dormex.map), since the DLL itself is stripped.
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

# Every function the plug-in imports, by DLL, with the oldest Windows that has
# it as Microsoft's documentation gives it (5.0 Windows 2000, 5.1 XP): exactly
# what its own code calls and nothing of a compiler runtime. A new import fails
# until it is added here, and nothing newer than the oldest Windows the DLL
# runs on (OLDEST_WINDOWS, which its header must name) may be added.
OLDEST_WINDOWS=5.1
allowed_imports="
KERNEL32.dll 5.0 CloseHandle GetLocalTime GetSystemTimeAsFileTime GetSystemWindowsDirectoryA
KERNEL32.dll 5.0 MultiByteToWideChar WideCharToMultiByte QueryPerformanceCounter
KERNEL32.dll 5.1 CreateEventA CreateFileA CreateThread DeleteFileA FlushFileBuffers FreeLibrary
KERNEL32.dll 5.1 FreeLibraryAndExitThread GetCurrentProcessId GetFileAttributesA GetLastError
KERNEL32.dll 5.1 GetModuleHandleExA GetProcessHeap HeapAlloc HeapFree HeapReAlloc MoveFileExA
KERNEL32.dll 5.1 ReadFile SetEvent Sleep TerminateProcess WaitForSingleObject WriteFile
KERNEL32.dll 5.1 InitializeCriticalSectionAndSpinCount EnterCriticalSection LeaveCriticalSection
KERNEL32.dll 5.1 DeleteCriticalSection
USER32.dll 5.0 MessageBoxW
SHELL32.dll 5.1 ShellExecuteA
ole32.dll 5.0 CoInitializeEx CoUninitialize"

# Imports the DLL's safety rests on: a build that lost one of them lost a
# safeguard without a sound (each is what the safeguard calls).
required_imports="
FlushFileBuffers settings files reach the disk before they are moved into place
MoveFileExA settings files are replaced in one step
Sleep a file another program holds for a moment is waited for
EnterCriticalSection the host's threads meet under a lock
LeaveCriticalSection the host's threads meet under a lock
InitializeCriticalSectionAndSpinCount the locks are made at load, failing the load where they can't be
GetModuleHandleExA the module stays mapped while code of ours runs
FreeLibraryAndExitThread the watch thread gives the module back as its very last act
TerminateProcess a stack cookie that does not match ends the process
CoInitializeEx the shell's extensions find COM on the thread that opens the editor"

newer=$(awk -v oldest="$OLDEST_WINDOWS" 'NF && $2 + 0 > oldest + 0 { print $1 "!" $3 " needs " $2 }' <<<"$allowed_imports")
[ -z "$newer" ] || fail "the allow-list admits functions newer than Windows $OLDEST_WINDOWS: $newer"
allowed=$(awk 'NF { for (i = 3; i <= NF; i++) print tolower($1) "!" $i }' <<<"$allowed_imports")

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
size_limit=$((15 * 1024))
size=$(stat -c %s "$dll")
[ "$size" -le "$size_limit" ] || fail "is $size bytes, more than the $size_limit allowed"

# --- Hardening -----------------------------------------------------------------
# A hexadecimal field of the optional header as objdump prints it ("Name<tab>hex"), 0 if missing.
header_field() {
  local value
  value=$(sed -n "s/^$1[[:space:]]\+\([0-9a-fA-F]\+\).*/\1/p" <<<"$dump" | head -n 1)
  echo "${value:-0}"
}

characteristics=$((16#$(header_field DllCharacteristics)))
for flag in DYNAMIC_BASE:0x40 NX_COMPAT:0x100 NO_SEH:0x400; do
  [ $((characteristics & ${flag#*:})) -ne 0 ] ||
    fail "DllCharacteristics $(printf '0x%04x' "$characteristics") lacks ${flag%:*} (${flag#*:})"
done
subsystem=$((16#$(header_field Subsystem)))
[ "$subsystem" -eq 2 ] || fail "subsystem is $subsystem, expected 2 (Windows GUI): the DLL has no console"

# The header's versions name the oldest Windows it runs on, as the imports
# allow: an older one would promise what it can't keep, a newer one would
# shut out Windows XP for nothing.
decimal_field() { sed -n "s/^$1[[:space:]]\+\([0-9]\+\).*/\1/p" <<<"$dump" | head -n 1; }
for pair in OSystem Subsystem; do
  version="$(decimal_field "Major${pair}Version").$(decimal_field "Minor${pair}Version")"
  [ "$version" = "$OLDEST_WINDOWS" ] || fail "header's ${pair/OSystem/OS} version is $version, expected $OLDEST_WINDOWS (Windows XP)"
done
# Windows XP gives a library loaded at run time no thread-local storage of its own.
tls=$(sed -n 's/^Entry 9 \([0-9a-fA-F]\+\) .*/\1/p' <<<"$dump")
[ "$((16#${tls:-0}))" -eq 0 ] || fail "has a thread-local storage directory, which Windows XP does not set up for a library loaded at run time"

# objdump shows no raw section flags: read them from the section table.
# u16/u32 OFFSET: a little-endian field of the file.
u16() { od -An -tu2 -j "$1" -N 2 --endian=little "$dll" | tr -d ' '; }
u32() { od -An -tu4 -j "$1" -N 4 --endian=little "$dll" | tr -d ' '; }
pe=$(u32 60)
section=$((pe + 24 + $(u16 $((pe + 20)))))
for ((i = 0; i < $(u16 $((pe + 6))); i++, section += 40)); do
  flags=$(u32 $((section + 36)))
  # IMAGE_SCN_MEM_WRITE and IMAGE_SCN_MEM_EXECUTE
  if [ $((flags & 0x80000000)) -ne 0 ] && [ $((flags & 0x20000000)) -ne 0 ]; then
    fail "section $(dd if="$dll" bs=1 skip="$section" count=8 status=none | tr -d '\0')" \
      "is both writable and executable (flags $(printf '0x%08x' "$flags"))"
  fi
done

# NO_SEH promises that no handler of the DLL's is ever registered. On i386 that
# takes the thread's exception list at fs:[0], and nothing else in the DLL has
# any reason to touch the thread block: any fs access fails.
code=$("$objdump" -d --no-show-raw-insn "$dll")
fs_access=$(grep -E '%fs:' <<<"$code" | head -n 3 | sed 's/^[[:space:]]*//; s/[[:space:]]\+/ /g')
[ -z "$fs_access" ] || fail "code touches fs, the thread's exception list, under NO_SEH: $(paste -sd ";" <<<"$fs_access")"

# Stack cookies: protected functions call __stack_chk_fail, and the entry
# point's seeding is the one code that writes __stack_chk_guard (without it,
# the guard keeps the value built into the file). Their addresses come from the
# map, which must belong to this very link: its entry point is the header's.
map=${dll%.*}.map
map_address() { sed -n "s/^[[:space:]]\+0x\([0-9a-f]\+\)[[:space:]]\+$1\$/\1/p" "$map" 2>/dev/null | head -n 1; }
cookie_functions=0
if [ ! -f "$map" ]; then
  fail "no linker map $map beside it: the stack cookies cannot be checked"
elif [ "$(map_address 'DllMainCRTStartup@12')" != \
  "$(printf '%08x' $((16#$(header_field ImageBase) + 16#$(header_field AddressOfEntryPoint))))" ]; then
  fail "$map is not the map of this DLL (its entry point is elsewhere): relink"
else
  check_fail=$(map_address __stack_chk_fail)
  guard=$(map_address __stack_chk_guard)
  if [ -z "$check_fail" ] || [ -z "$guard" ]; then
    fail "$map names no __stack_chk_fail or __stack_chk_guard: built without stack cookies"
  else
    cookie_functions=$(grep -cE "call +0x$check_fail\b" <<<"$code")
    [ "$cookie_functions" -gt 0 ] || fail "no function calls __stack_chk_fail: built without stack cookies"
    grep -qE "mov +[^,]+,0x$guard\$" <<<"$code" ||
      fail "nothing writes __stack_chk_guard: the guard is never seeded and keeps its built-in value"
  fi
  # A safeguard's import must be there and called: an import whose last call
  # was taken out may linger in the table.
  while read -r function why; do
    [ -z "$function" ] && continue
    slot=$(map_address "_imp__$function@[0-9]\\+")
    if [ -z "$slot" ] || ! grep -qE "0x$slot\b" <<<"$code"; then
      fail "never calls $function, which means: $why"
    fi
  done <<<"$required_imports"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-dll: $failures problem(s) in $dll" >&2
  exit 1
fi
echo "check-dll: $dll: $size bytes (limit $size_limit), pei-i386, exports pluginFun only," \
  "imports $(wc -l <<<"$imports") allowed functions: $(tr '\n' ' ' <<<"$imports" | sed 's/ $//')"
echo "check-dll: $dll: DYNAMIC_BASE NX_COMPAT NO_SEH, no fs access, Windows GUI subsystem," \
  "no writable executable section, $cookie_functions functions check a stack cookie, the guard is seeded"
echo "check-dll: $dll: runs on Windows $OLDEST_WINDOWS and later (header and imports), no thread-local storage," \
  "every safeguard's import is there"
