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
targets=(fuzz_pluginfun fuzz_settings fuzz_session)

# fuzz_session has no thread of its own, so it runs on both cores, one process
# each on the shared corpus; its inputs are whole sessions, 128 bytes (some 50
# events, moves and switches) at most.
workers_of() { [ "$1" = fuzz_session ] && echo 2 || echo 1; }
max_len_of() { [ "$1" = fuzz_session ] && echo 128 || echo 4096; }

failed=()
for target in "${targets[@]}"; do
  if ! mkdir -p "$corpus/$target" "$out/$target" || ! cp -f "$root/fuzz/corpus/$target/"* "$corpus/$target/"; then
    echo "!!!! fuzzing FAILED: cannot copy the seed corpus of $target into $corpus/$target" >&2
    exit 1
  fi
  workers=$(workers_of "$target")
  echo "== $target: ${seconds} s, $workers process(es), corpus $corpus/$target"
  pids=()
  for worker in $(seq "$workers"); do
    # A run that hangs for 25 s fails at once instead of after libFuzzer's 20 minutes.
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=25 \
      -print_final_stats=1 -artifact_prefix="$out/$target/" "$corpus/$target" >"$out/$target-$worker.log" 2>&1 &
    pids+=($!)
  done
  for worker in $(seq "$workers"); do
    wait "${pids[$((worker - 1))]}"
    rc=$?
    if [ $rc -ne 0 ]; then
      failed+=("$target")
      echo "!!!! $target FAILED (exit $rc); the input that broke it is in $out/$target/. Log tail:" >&2
      tail -n 40 "$out/$target-$worker.log" >&2
    fi
  done
done

echo "== executions per target"
for target in "${targets[@]}"; do
  total=0
  for worker in $(seq "$(workers_of "$target")"); do
    runs=$(sed -nE 's/^Done ([0-9]+) runs.*/\1/p' "$out/$target-$worker.log")
    total=$((total + ${runs:-0}))
  done
  printf '%-16s %s runs in %s s (%s runs/s)\n' "$target" "$total" "$seconds" "$((total / seconds))"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "!!!! fuzzing FAILED: ${failed[*]}" >&2
  exit 1
fi
