#!/usr/bin/env bash
# Sets the machine up and runs every test: native (plain, with the address and undefined-behaviour
# sanitizers, and with the thread sanitizer), the cross-built tests under Wine (win32 and win64)
# and short runs of the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

failed=()
run() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  if ! ctest --preset "$preset"; then
    failed+=("$preset")
  fi
}

for preset in native native-asan native-tsan; do
  run "$preset"
done

# The tests that run a real stream thread, again and again under the thread sanitizer: a race or
# an ordering fault that shows once in many runs shows here rather than in a later change.
echo "=== native-tsan: stream-thread tests, repeated"
if ! ctest --preset native-tsan -R '^(StreamEngineTest|HostileHostTest|DeviceLossTest|DriverStatusTest)[.]' --repeat until-fail:5; then
  failed+=(native-tsan-repeat)
fi

for preset in win32 win64; do
  run "$preset"
done

# The fuzz targets (clang, libFuzzer, address and undefined-behaviour sanitizers), each run for
# about 20 s from its seed corpus; scripts/fuzz.sh runs them longer.
run fuzz

# The data callback's benchmark, optimised: it prints each case's time over a plain copy's.
echo "=== native-bench: stream_benchmark"
cmake --preset native-bench >/dev/null
cmake --build --preset native-bench
if ! build/native-bench/tests/bench/stream_benchmark --benchmark_min_time=0.05 --benchmark_color=false | grep -E 'ratio'; then
  failed+=(native-bench)
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "test: failures in: ${failed[*]}"
  exit 1
fi
echo "test: every test passed (native, native-asan, native-tsan, win32 and win64 under Wine, fuzz)"
