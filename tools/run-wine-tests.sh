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
ctest --preset win32 "$@"
