#!/usr/bin/env bash
# Runs the fuzz targets for longer than the test command does, one after the other, and prints for
# each the executions, executions per second and whether it crashed.
#
#   bash scripts/fuzz.sh [minutes per target] [target ...]     (default: 10 minutes, every target)
#
# Targets: identity settings pnputil hardware_id filter. Each run starts from the seeds in
# fuzz/corpus/<target> and a corpus of its own in build/fuzz/long/<target>, which later runs
# continue from; a crashing input is written to build/fuzz/long/crash-<target>-*.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(identity settings pnputil hardware_id filter)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/%/_fuzzer}" >/dev/null

# The simulated machine's files in memory: the identity target writes one per input.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

# Shorter allocation stacks in the address sanitizer's reports: recording them is most of the
# parser targets' time. Re-run a crashing input with ASAN_OPTIONS= for the full stacks.
export ASAN_OPTIONS=${ASAN_OPTIONS-malloc_context_size=4}

long=build/fuzz/long
mkdir -p "$long"
failed=0
summary=()
for target in "${targets[@]}"; do
  mkdir -p "$long/$target"
  log="$long/$target.log"
  options=()
  case $target in
    identity) options=(-max_len=8192) ;;
    pnputil) options=(-max_len=16384) ;;
    hardware_id) options=(-max_len=8400) ;;
  esac
  echo "=== $target: $minutes minute(s), log in $log"
  set +e
  "build/fuzz/fuzz/${target}_fuzzer" -max_total_time=$((minutes * 60)) -print_final_stats=1 \
    -artifact_prefix="$long/crash-$target-" "${options[@]}" "$long/$target" "fuzz/corpus/$target" >"$log" 2>&1
  code=$?
  set -e
  execs=$(awk '/stat::number_of_executed_units/ { print $2 }' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ { print $2 }' "$log")
  if [ "$code" -eq 0 ]; then
    result="no crash"
  else
    result="CRASH (exit $code): $(ls "$long"/crash-"$target"-* 2>/dev/null | tail -1)"
    failed=1
  fi
  line="$target: ${execs:-?} executions in $minutes min, ${rate:-?} per second, $result"
  echo "$line"
  summary+=("$line")
done
echo "=== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $failed
