#!/usr/bin/env bash
# Runs a Windows program under the project's own Wine prefix.
# Usage: tools/wine-run.sh PROGRAM.exe [ARGS...]
# Its output passes through readers of our own, which stop shortly after the
# program has ended: a Wine helper it started (the desktop's explorer, above
# all when the program crashed while that was starting) inherits its output
# and may hold it open for ever, and whoever reads our output (ctest) would
# wait for ever with it.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
ensure_wine_prefix

pipes=$(mktemp -d)
trap 'rm -rf "$pipes"' EXIT
mkfifo "$pipes/out" "$pipes/err"
cat "$pipes/out" &
out_reader=$!
cat "$pipes/err" >&2 &
err_reader=$!
"$wine_loader" "$@" >"$pipes/out" 2>"$pipes/err"
status=$?
# What the program wrote is in the pipes already: a moment drains it.
for _ in $(seq 30); do
  kill -0 "$out_reader" 2>/dev/null || kill -0 "$err_reader" 2>/dev/null || break
  sleep 0.1
done
kill "$out_reader" "$err_reader" 2>/dev/null
exit "$status"
