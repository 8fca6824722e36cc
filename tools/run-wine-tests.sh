#!/usr/bin/env bash
# Runs the cross-built tests under Wine with one persistent wineserver, so that
# each test program does not pay for starting Wine again.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$here/.."
# shellcheck source=wine-env.sh
. tools/wine-env.sh
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's own background services start with the first program and inherit its
# output; start them here, away from ctest's pipes, or ctest waits on them.
wine cmd /c exit </dev/null >/dev/null 2>&1
ctest --preset win32 "$@"
