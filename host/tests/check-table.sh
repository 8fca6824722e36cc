#!/usr/bin/env bash
# Runs the rows of a check table (see check-languages.table) that hold for one
# code page, each through check-run.sh, where no line may be wider than 80
# characters; fails when any row does.
#   check-table.sh TABLE CODE_PAGE -- HOST...
# Wine takes the ANSI code page from the locale: 1251 from Russian, 1252 from C.
set -u
table=$1 code_page=$2
shift 3
case $code_page in
  1251) export DORMEX_LANG=ru_RU.UTF-8 ;;
  1252) export DORMEX_LANG=C.UTF-8 ;;
  *) echo "check-table: no locale for code page $code_page" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failed=0 rows=0 row='' rules=()
# The folder of the files as Windows names it, for {here} and %CHECK_FILES%.
files="Z:$(pwd -P)"
export CHECK_FILES=${files//\//\\}

typed=$(mktemp)
trap 'rm -f "$typed"' EXIT

run_row() {
  local pages language exit argument words=() input=/dev/null long
  read -r pages language exit argument <<<"$row"
  [ -n "$row" ] && { [ "$pages" = '*' ] || [ "$pages" = "$code_page" ]; } || return 0
  rows=$((rows + 1))
  echo "== $row"
  argument=${argument//'{blank}'/ }
  argument=${argument//'{mark}'/$'\xe2\x80\xaa'}
  argument=${argument//'{here}'/$files}
  # {long NNNv}: the folder check-files.sh made whose dormex.ini path is NNN bytes long.
  while [[ $argument =~ \{long\ ([0-9a-z]+)\} ]]; do
    long=$(cd long && echo "${BASH_REMATCH[1]}"*)
    argument=${argument//"${BASH_REMATCH[0]}"/long\\$long}
  done
  if [ "${argument:0:2}" = '> ' ]; then
    # A line typed at the welcome screen's prompt.
    printf '%s\n' "${argument:2}" >"$typed"
    input=$typed words=(--welcome)
  elif [ "${argument:0:2}" = '< ' ]; then
    # Checked while cmd holds FILE open as its input, as another program
    # would: without letting it be renamed or deleted.
    local held program
    read -r held argument <<<"${argument:2}"
    program=$(cd "$(dirname "$2")" && pwd -P)/$(basename "$2")
    "$here/check-run.sh" --rule "exit $exit" --rule "width 80" "${rules[@]}" -- "$1" cmd /c \
      "Z:${program//\//\\} --lang $language check $argument < $held" || failed=1
    return
  elif [ "${argument:0:2}" = '@ ' ]; then
    # Paths alone, as dropped on the program: "@ PATH ; PATH ...".
    argument=${argument:2}
    while [ -n "$argument" ]; do
      words+=("${argument%% ; *}")
      [ "${argument#* ; }" = "$argument" ] && break
      argument=${argument#* ; }
    done
  else
    words=(check "$argument")
  fi
  "$here/check-run.sh" --stdin "$input" --rule "exit $exit" --rule "width 80" "${rules[@]}" -- "$@" \
    --lang "$language" "${words[@]}" || failed=1
}

while IFS= read -r line; do
  case $line in
    '' | '#'*) ;;
    '| '*) rules+=(--rule "has ${line#| }") ;;
    '~ '*) rules+=(--rule "then ${line#\~ }") ;;
    '! '*) rules+=(--rule "never ${line#! }") ;;
    '= '*) rules+=(--rule "flat ${line#= }") ;;
    *) run_row "$@"; row=$line rules=() ;;
  esac
done <"$table"
run_row "$@"
echo "check-table: code page $code_page, $rows rows, $([ "$failed" = 0 ] && echo "all as listed" || echo "some not")"
exit "$failed"
