#!/usr/bin/env bash
# Runs a command and checks its exit status and what it printed.
#   check-run.sh [--stdin FILE] [--expect FILE] [--rule RULE]... -- COMMAND [ARGS...]
# Rules, from the expectation file (one a line; blank and # lines skipped) and
# from --rule; RE is an extended regular expression matched within one line:
#   exit 0 | exit failure   the exit status (default: exit 0)
#   then RE     a later line of standard output matches
#   next RE     the line right after the last matched one matches
#   has TEXT    a later line is exactly TEXT
#   line TEXT   the line right after the last matched one is exactly TEXT
#   never RE    no line of standard output matches
#   stderr RE   a line of standard error matches
#   width N     no line of standard output is wider than N characters
#   flat RE     standard output with all its blanks and line breaks taken out
#               matches RE with its blanks taken out: for text around a path,
#               whose wrapping follows the length of the folder the run is in
# dormex-host writes redirected text as cmd's own commands do, in the OEM code
# page Wine takes from the locale (866 from Russian, 437 from C): its output is
# read back from that code page, and each expected text is compared as that
# code page shows it.
set -u
input=/dev/null rules=()
while [ $# -gt 0 ]; do
  case $1 in
    --stdin) input=$2; shift 2 ;;
    --expect)
      # A missing expectation file must not pass as "no rules".
      [ -r "$2" ] || { echo "check-run: cannot read the expectation file $2" >&2; exit 2; }
      mapfile -t -O "${#rules[@]}" rules <"$2"; shift 2 ;;
    --rule) rules+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "check-run: unknown option $1" >&2; exit 2 ;;
  esac
done
case ${DORMEX_LANG:-ru_RU.UTF-8} in ru_*) oem=866 ;; *) oem=437 ;; esac
# Text as the OEM code page shows it: the stand-ins dormex-host uses for its
# typographic characters, "?" for other characters the code page lacks.
as_shown() {
  PYTHONIOENCODING=utf-8 python3 -c 'import sys
page = "cp" + sys.argv[1]
stand_ins = {"\u00ab": "\"", "\u00bb": "\"", "\u2014": "-", "\u2013": "-", "\u2192": ">", "\u2026": "..."}
def shown(c):
    try:
        c.encode(page)
        return c
    except UnicodeEncodeError:
        return stand_ins.get(c, "?")
for line in sys.stdin:
    sys.stdout.write("".join(shown(c) for c in line))' "$oem"
}
[ "${#rules[@]}" -eq 0 ] || mapfile -t rules < <(printf '%s\n' "${rules[@]}" | as_shown)
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" <"$input" >"$out" 2>"$err"
status=$?
for file in "$out" "$err"; do
  iconv -f "CP$oem" -t UTF-8 "$file" | sed 's/\r$//' >"$file.utf8" && mv "$file.utf8" "$file"
done
cat "$out"; cat "$err" >&2
mapfile -t lines <"$out"
failed=0 pos=0 wanted_status=0
fail() { echo "check-run: $*" >&2; failed=1; }
# A line against the rule in hand: exactly for has and line, else as a regular expression.
matches() { case $verb in has | line) [ "$1" = "$re" ] ;; *) [[ $1 =~ $re ]] ;; esac; }
for rule in "${rules[@]}"; do
  case $rule in '' | '#'*) continue ;; esac
  verb=${rule%% *} re=${rule#* }
  case $verb in
    exit) wanted_status=$re ;;
    then | has)
      i=$pos
      while [ "$i" -lt "${#lines[@]}" ] && ! matches "${lines[i]}"; do i=$((i + 1)); done
      if [ "$i" -lt "${#lines[@]}" ]; then pos=$((i + 1)); else fail "no line after line $pos matches: $re"; fi ;;
    next | line)
      if [ "$pos" -lt "${#lines[@]}" ] && matches "${lines[pos]}"; then pos=$((pos + 1));
      else fail "line $((pos + 1)) does not match: $re"; fi ;;
    never) if grep -Eq -- "$re" "$out"; then fail "a line matches: $re"; fi ;;
    width) python3 -c 'import sys
wide = [l for l in open(sys.argv[1], encoding="utf-8").read().split("\n") if len(l) > int(sys.argv[2])]
sys.exit(bool(wide))' "$out" "$re" || fail "a line is wider than $re characters" ;;
    stderr) grep -Eq -- "$re" "$err" || fail "standard error does not match: $re" ;;
    flat)
      flat_out=$(tr -d ' \n' <"$out") flat_re=${re// /}
      [[ $flat_out =~ $flat_re ]] || fail "no text, wherever it wraps, matches: $re" ;;
    *) fail "bad rule: $rule" ;;
  esac
done
if [ "$wanted_status" = failure ]; then
  [ "$status" -ne 0 ] || fail "exit status 0, expected a failure"
elif [ "$status" -ne "$wanted_status" ]; then
  fail "exit status $status, expected $wanted_status"
fi
exit $failed
