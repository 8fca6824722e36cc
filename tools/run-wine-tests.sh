#!/usr/bin/env bash
# Runs the cross-built tests under Wine, all in one Wine session.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=wine-env.sh
. tools/wine-env.sh
begin_wine_session
ctest --preset win32 "$@"
