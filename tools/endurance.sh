#!/usr/bin/env bash
# Runs the endurance program on the built Dormex.dll under Wine and prints its figures.
# Usage: tools/endurance.sh [BUILD_DIR [CYCLES [SECONDS]]]   (default build/win32, 1000, 60)
# Needs a display: run it through tools/with-display.sh.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build_dir=${1:-build/win32}
shift || true
if [ ! -f "$build_dir/dormex_endurance.exe" ]; then
  echo "endurance: $build_dir/dormex_endurance.exe not found; build the win32 preset first (make dll)" >&2
  exit 1
fi
# shellcheck source=wine-env.sh
. tools/wine-env.sh
begin_wine_session
cd "$build_dir"
wine ./dormex_endurance.exe "$@"
