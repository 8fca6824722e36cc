# Sourced: Wine's settings for every run of ours (the project's own 32-bit
# prefix under build/, quiet, a time zone that is not UTC) and the steps the
# runners share. Sourcing it changes nothing on disk.
_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${DORMEX_WINEPREFIX:-$_root/build/wineprefix}"
unset _root
# DORMEX_WINEARCH=win64: a 64-bit prefix, where the 32-bit programs run under
# WoW64 as on most users' Windows; Debian's wine64 starts its programs.
if [ "${DORMEX_WINEARCH:-win32}" = win64 ]; then
  export WINEARCH=win64
  wine_loader=/usr/lib/wine/wine64
else
  export WINEARCH=win32
  wine_loader=wine
fi
export WINEDEBUG=-all
# No debugger: a program that crashes ends at once with a failure instead of
# waiting in winedbg for someone who never comes.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
# The users' locale: Russian, so Windows' ANSI code page is 1251. A test that
# needs another code page sets LANG itself (C.UTF-8 gives 1252).
export LANG="${DORMEX_LANG:-ru_RU.UTF-8}"
unset LC_ALL LC_CTYPE
# +5:45: local time differs from UTC in hour and minute alike, so code that read
# the UTC clock where it should read the local one fails the tests.
export TZ="${DORMEX_TZ:-Asia/Kathmandu}"

# Creates the prefix on first use; on failure prints what Wine said and exits.
ensure_wine_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  local log
  log=$(mktemp)
  # Generous bounds: under emulation this takes tens of seconds; a hang must still end.
  if ! WINEDEBUG=err+all timeout 600 "$wine_loader" wineboot -i >"$log" 2>&1 || ! timeout 300 wineserver -w; then
    echo "wine-env: could not create the Wine prefix $WINEPREFIX; Wine said:" >&2
    tail -n 25 "$log" | sed 's/^/  /' >&2
    [ -s "$log" ] || echo "  (nothing; 'make doctor' shows how i386 programs run here)" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

# One persistent wineserver for the rest of this shell, killed when it exits,
# so that each Wine program does not pay for starting Wine again.
begin_wine_session() {
  ensure_wine_prefix
  # A server left running for this prefix (an interrupted run) serves us too.
  wineserver -p 2>/dev/null || echo "wine-env: reusing the wineserver already running for $WINEPREFIX" >&2
  trap 'wineserver -k 2>/dev/null || true' EXIT
  # Wine's background services start with the first program and inherit its
  # output: start them here, away from the caller's pipes, or a caller that
  # reads those pipes (ctest) waits on them for ever.
  "$wine_loader" cmd /c exit </dev/null >/dev/null 2>&1
}
