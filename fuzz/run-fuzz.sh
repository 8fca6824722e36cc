#!/usr/bin/env bash
# Runs each fuzz target for SECONDS on its own copy of the seed corpus (the
# repository's seeds are never written to), then prints the executions of
# each. Exits non-zero when any target crashed, leaked, hung (25 s for one
# input) or ran out of memory, or when a seed corpus could not be copied.
#
# usage: fuzz/run-fuzz.sh BUILD_DIR SECONDS
# Corpora grow in build/fuzz-corpus/<target>; logs and crashing inputs go to
# build/fuzz-out/ (FUZZ_CORPUS and FUZZ_OUT move them).
set -uo pipefail

build=${1:?usage: run-fuzz.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run-fuzz.sh BUILD_DIR SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
# Absolute: the targets change into scratch directories of their own.
corpus=$(realpath -m "${FUZZ_CORPUS:-$root/build/fuzz-corpus}")
out=$(realpath -m "${FUZZ_OUT:-$root/build/fuzz-out}")
targets=(fuzz_pluginfun fuzz_settings)

failed=()
for target in "${targets[@]}"; do
  if ! mkdir -p "$corpus/$target" "$out/$target" || ! cp -f "$root/fuzz/corpus/$target/"* "$corpus/$target/"; then
    echo "!!!! fuzzing FAILED: cannot copy the seed corpus of $target into $corpus/$target" >&2
    exit 1
  fi
  log="$out/$target.log"
  echo "== $target: ${seconds} s, corpus $corpus/$target"
  # A run that hangs for 25 s fails at once instead of after libFuzzer's 20 minutes.
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$out/$target/" "$corpus/$target" >"$log" 2>&1
  rc=$?
  if [ $rc -ne 0 ]; then
    failed+=("$target")
    echo "!!!! $target FAILED (exit $rc); the input that broke it is in $out/$target/. Log tail:" >&2
    tail -n 40 "$log" >&2
  fi
done

echo "== executions per target"
for target in "${targets[@]}"; do
  done_line=$(grep -E '^Done [0-9]+ runs' "$out/$target.log" || echo "no final line (crashed)")
  printf '%-16s %s\n' "$target" "$done_line"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "!!!! fuzzing FAILED: ${failed[*]}" >&2
  exit 1
fi
