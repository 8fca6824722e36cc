#!/usr/bin/env bash
# Runs the cross-built tests under Wine, all in one Wine session, then the
# tests kit in a prefix of its own as a user on another Windows runs it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=wine-env.sh
. tools/wine-env.sh
begin_wine_session
ctest --preset win32 "$@"
tools/kit-proof.sh build/win32
