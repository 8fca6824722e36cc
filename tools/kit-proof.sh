#!/usr/bin/env bash
# Runs the tests kit as users on other Windows would, and where things go
# wrong, and reads its verdict back. Each run is `cmd /c run-tests.cmd` from
# C:\ of a fresh Wine prefix made with no display (as a script makes one) whose
# Z: drive is gone (nothing of the build tree is reachable), under code page
# 1251 and a time zone at UTC-3:30:
#   1. A 32-bit prefix, the kit in "C:\Проверка Dormex\", the temp folder of a
#      user named Иван, GTEST_FILTER set, and the user's Notepad open on a
#      dormex.ini of theirs throughout. Every test the kit was built with must
#      run and pass, and that Notepad must still run.
#   2. The same prefix, a stand-in in place of the kit's programs (its limit
#      lowered): a report.txt that is a folder, Dormex.dll taken away, a
#      program that runs no test, one that hangs. Each must end non-zero,
#      saying so, on the console in the user's language.
#   3. A 64-bit prefix (WoW64, as most users run the host): all passed.
# Exits 1 at the first run that does not end so, saying why.
#
# usage: tools/kit-proof.sh [BUILD_DIR]   (default build/win32, already built)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${1:-build/win32}
begun=$SECONDS

export DORMEX_LANG=ru_RU.UTF-8
# Newfoundland's offset all year round: America/St_Johns is UTC-3:30 only in
# winter (UTC-2:30 from March to November), so a fixed zone of the same offset.
export DORMEX_TZ='<-0330>3:30'
kit_folder='Проверка Dormex'
stand_in_folder='Подмена Dormex'
user_folder='users\Иван'

fail() {
  echo "kit-proof: $*" >&2
  exit 1
}

work=$root/build/kit-proof
rm -rf "$work"
DORMEX_DIST_DIR=$work JOBS=${JOBS:-2} tools/dist.sh --kit "$build" >/dev/null
kit=$(ls "$work"/Dormex-tests-*-win32.zip)
cmake --build "$build" --target dormex_kit_stand_in >/dev/null
trap 'wineserver -k 2>/dev/null || true' EXIT

# A fresh prefix of ARCH (win32, win64) in DIR, without Z:, the kit in it.
new_prefix() {
  wineserver -k 2>/dev/null || true
  export DORMEX_WINEARCH=$1 DORMEX_WINEPREFIX=$2
  # shellcheck source=wine-env.sh
  . tools/wine-env.sh
  rm -rf "$WINEPREFIX"
  # Wine's desktop then starts with the first window, slowly under emulation,
  # and the tests must wait for it.
  (unset DISPLAY && ensure_wine_prefix)
  rm "$WINEPREFIX/dosdevices/z:"
  python3 -m zipfile -e "$kit" "$WINEPREFIX/drive_c/$kit_folder"
}

# Runs C:\FOLDER\run-tests.cmd with the environment VAR=VALUE... given: its
# exit code into $status, its console output (OEM code page 866) into $console,
# its report into $report.
run_kit() {
  local folder=$1
  shift
  status=0
  console=$work/console.txt
  report=$WINEPREFIX/drive_c/$folder/report.txt
  # From C:\, as the current folder of a user who typed the path.
  (cd "$WINEPREFIX/drive_c" && env "$@" timeout 1500 "$root/tools/wine-run.sh" \
    cmd /c "C:\\$folder\\run-tests.cmd" </dev/null) >"$console.raw" 2>&1 || status=$?
  iconv -c -f CP866 -t UTF-8 "$console.raw" >"$console"
  # Wine's cmd writes redirected output in the ANSI code page, not the OEM one.
  iconv -c -f CP1251 -t UTF-8 "$console.raw" >"$console.ansi"
}

# True when FILE (or its ANSI reading, for the console) holds TEXT as it is.
holds() { grep -qF -- "$2" "$1" || { [ -f "$1.ansi" ] && grep -qF -- "$2" "$1.ansi"; }; }

# One encoding throughout, the programs' own: no message of cmd's in its code page.
expect_utf8() { iconv -f UTF-8 -t UTF-8 "$report" >/dev/null 2>&1 || fail "$report is not all UTF-8"; }

# The report's facts, counts and verdict on our output.
show_report() {
  sed -n '1,10p; /: passed /p' "$report" | sed 's/^\xEF\xBB\xBF//; s/^/kit-proof:   /'
}

# The run of $report passed in full: all passed, exit code 0, each program
# with the number of tests the kit's run-tests.cmd was built with, under the
# code page, zone and folder of the run, and ARGS more lines the report holds.
expect_all_passed() {
  [ -f "$report" ] || fail "no report.txt after run-tests.cmd (exit code $status)"
  show_report
  expect_utf8
  local last name count line
  last=$(tail -n 1 "$report" | tr -d '\r')
  [ "$last" = "Dormex tests: all passed" ] || fail "not all passed; the whole report: $report"
  [ "$status" -eq 0 ] || fail "run-tests.cmd exited with $status although its report says all passed"
  for line in 'ANSI code page: 1251' 'Time zone: UTC-03:30' "Folder: C:\\$kit_folder" "$@"; do
    holds "$report" "$line" || fail "no '$line' in $report"
  done
  while read -r name count; do
    line=$(grep "^$name: passed " "$report" | tr -d '\r')
    if ! [[ $line =~ passed\ ([0-9]+),\ failed\ 0,\ skipped\ ([0-9]+)$ ]] ||
      [ $((BASH_REMATCH[1] + BASH_REMATCH[2])) -ne "$count" ]; then
      fail "$name must run its $count tests and pass: '$line'"
    fi
  done < <(sed -n 's/^call :runProgram \([a-z_]*\) "[^"]*" \([0-9]*\)\r$/\1 \2/p' \
    "$WINEPREFIX/drive_c/$kit_folder/run-tests.cmd")
}

# --- 1. A user's machine -------------------------------------------------------
new_prefix win32 "$root/build/wineprefix-kit"
home=$WINEPREFIX/drive_c/${user_folder//\\//}
mkdir -p "$home/Temp"
for name in TEMP TMP; do
  "$wine_loader" reg add 'HKCU\Environment' /v "$name" /t REG_SZ /d "C:\\$user_folder\\Temp" /f >/dev/null 2>&1
done
printf 'h_disconnect=23\r\nm_disconnect=0\r\nh_online=8\r\nm_online=0\r\nDisconnectStr=/bye\r\n' >"$home/dormex.ini"
"$wine_loader" notepad.exe "C:\\$user_folder\\dormex.ini" </dev/null >/dev/null 2>&1 &
users_notepad=$!
for _ in $(seq 120); do
  xdotool search --name 'dormex' >/dev/null 2>&1 && break
  kill -0 "$users_notepad" 2>/dev/null || fail "the user's Notepad did not start"
  sleep 0.5
done
xdotool search --name 'dormex' >/dev/null 2>&1 || fail "the user's Notepad showed no window in 60 s"

run_kit "$kit_folder" GTEST_FILTER='LocalClock.*'
echo "kit-proof: a user's machine: exit code $status, $((SECONDS - begun)) s with the prefix"
expect_all_passed 'WoW64: no' "Temp folder: C:\\$user_folder\\Temp"
kill -0 "$users_notepad" 2>/dev/null || fail "the user's Notepad on their own dormex.ini was closed by the run"
kill "$users_notepad"

# --- 2. Where the verdict must not be "all passed" -----------------------------
stand_in=$WINEPREFIX/drive_c/$stand_in_folder
cp -r "$WINEPREFIX/drive_c/$kit_folder" "$stand_in"
rm -f "$stand_in/report.txt"
for name in dormex_wine_tests dormex_thread_tests; do cp "$build/dormex_kit_stand_in.exe" "$stand_in/$name.exe"; done
sed -i 's/^set timeLimit=600\r$/set timeLimit=10\r/' "$stand_in/run-tests.cmd"
grep -q '^set timeLimit=10' "$stand_in/run-tests.cmd" || fail "run-tests.cmd sets no timeLimit=600 to lower"
# Each row: what is wrong, the stand-in's mode, the exit code, where (c for the
# console, r for the report) and the texts (;-separated) that must be there.
while IFS='|' read -r what mode code where lines; do
  started=$SECONDS
  [ "$what" != "report.txt a folder" ] || mkdir "$stand_in/report.txt"
  [ "$what" != "Dormex.dll taken away" ] || mv "$stand_in/Dormex.dll" "$work/Dormex.dll.away"
  run_kit "$stand_in_folder" DORMEX_STAND_IN="$mode"
  echo "kit-proof: $what: exit code $status, $((SECONDS - started)) s"
  if [ "$where" = c ]; then output=$console; else output=$report && expect_utf8; fi
  sed 's/^/kit-proof:   /' "$output" | grep -v '^kit-proof:   $' | tail -n 8
  [ "$status" = "$code" ] || fail "$what: exit code $status, not $code"
  IFS=';' read -ra wanted <<<"$lines"
  for line in "${wanted[@]}"; do
    holds "$output" "$line" || fail "$what: no '$line' in $output"
  done
  rm -rf "$stand_in/report.txt"
  [ ! -f "$work/Dormex.dll.away" ] || mv "$work/Dormex.dll.away" "$stand_in/Dormex.dll"
done <<EOF
report.txt a folder|pass|2|c|Тесты Dormex: ничего не запущено, отчёт не записать:;  "C:\\$stand_in_folder\\report.txt";\\Documents\\Dormex tests"
Dormex.dll taken away|pass|1|r|Dormex.dll is missing from this folder, so no test ran;Dormex tests: 1 failed
no test run|none|1|r|dormex_wine_tests ran 0 tests, not the;dormex_thread_tests ran 0 tests, not the;Dormex tests: 2 failed
a hang|hang|1|r|dormex_wine_tests: ended after 10 s, still in StandIn.Hangs;dormex_thread_tests ended before its counts;Dormex tests: 2 failed
EOF

# --- 3. 64-bit Windows -----------------------------------------------------------
started=$SECONDS
new_prefix win64 "$root/build/wineprefix-kit64"
run_kit "$kit_folder"
echo "kit-proof: a 64-bit prefix: exit code $status, $((SECONDS - started)) s with the prefix"
expect_all_passed 'WoW64: yes'
echo "kit-proof: every run ended as it must, $((SECONDS - begun)) s in all"
