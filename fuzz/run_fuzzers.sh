#!/usr/bin/env bash
# Runs every libFuzzer target of a build for a bounded time, starting from its
# committed corpus (read only: new inputs go to the build tree), and prints
# what each did. A crash, leak or failed property stops with status 1 and
# leaves the input under BUILD/fuzz-crashes/.
#   run_fuzzers.sh BUILD_DIR SECONDS TARGET...
set -euo pipefail
build=$1 seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
found=$build/fuzz-found crashes=$build/fuzz-crashes
mkdir -p "$crashes"
summary=()
for target in "$@"; do
  mkdir -p "$found/$target"
  log=$build/fuzz-$target.log
  echo "== $target: $seconds s from $here/corpus/$target"
  status=0
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$crashes/$target-" "$found/$target" "$here/corpus/$target" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  summary+=("$target: ${execs:-?} executions in $seconds s, $cov, $(ls "$found/$target" | wc -l) new inputs")
  if [ "$status" != 0 ]; then
    tail -60 "$log"
    echo "FAILED: $target (status $status); inputs in $crashes"
    exit 1
  fi
done
printf '%s\n' "${summary[@]}"
