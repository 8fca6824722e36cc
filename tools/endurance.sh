#!/usr/bin/env bash
# Runs the endurance program on the built Dormex.dll under Wine and prints its figures.
# Usage: tools/endurance.sh [BUILD_DIR [CYCLES [SECONDS]]]   (default build/win32, 1000, 60)
# Needs a display: run it through tools/with-display.sh.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$here/.."
build_dir=${1:-build/win32}
shift || true
program="$build_dir/dormex_endurance.exe"
if [ ! -f "$program" ]; then
  echo "endurance: $program not found; build the win32 preset first (make dll)" >&2
  exit 1
fi
# shellcheck source=wine-env.sh
. tools/wine-env.sh
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's background services inherit the first program's output; start them
# away from this script's pipes.
wine cmd /c exit </dev/null >/dev/null 2>&1
cd "$build_dir"
wine ./dormex_endurance.exe "$@"
