#!/usr/bin/env bash
# Runs a Windows program under the project's own Wine prefix.
# Usage: tools/wine-run.sh PROGRAM.exe [ARGS...]
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
ensure_wine_prefix
exec wine "$@"
