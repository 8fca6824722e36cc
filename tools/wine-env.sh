# Sourced: the project's own 32-bit Wine prefix under build/, created on first use.
_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${DORMEX_WINEPREFIX:-$_root/build/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >/dev/null 2>&1 || { echo "wine-env: could not create the Wine prefix $WINEPREFIX" >&2; exit 1; }
  wineserver -w
fi
unset _root
