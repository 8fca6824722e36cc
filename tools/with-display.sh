#!/usr/bin/env bash
# Runs a command with an X display: the one there is, or a private Xvfb.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && [ -z "${DORMEX_FORCE_XVFB:-}" ]; then
  exec "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
