#!/usr/bin/env bash
# make demo: the host stand-in's demo in the language of whoever runs it (their
# LANG, LC_ALL or LC_MESSAGES: Russian for ru_*, else English), while Wine keeps
# the users' code page 1251. dormex-host writes to a pipe in the OEM code page
# (866 there), as cmd's own commands do; it is shown in this terminal's.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
case ${LC_ALL:-${LC_MESSAGES:-${LANG:-}}} in
  ru*) language=ru ;;
  *) language=en ;;
esac
# The OEM code page Wine takes from its locale (tools/wine-env.sh).
case ${DORMEX_LANG:-ru_RU.UTF-8} in ru_*) oem=CP866 ;; *) oem=CP437 ;; esac
"$here/with-display.sh" "$here/wine-run.sh" "$here/../build/win32/dormex-host.exe" --lang "$language" "$@" |
  iconv -c -f "$oem" -t UTF-8
