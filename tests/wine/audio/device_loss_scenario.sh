#!/usr/bin/env bash
# The DAC pulled out while a host plays through asio.dll, then put back (audio_prefix.sh). The test
# audio driver takes its endpoint away while the file WINEALSA_UNPLUGGED names exists, as Windows
# does: every call on the stream's clients fails, IAudioClient::Stop included, and nobody is told
# (Wine's mmdevapi has no way to). The host is asioprobe --reset: it plays until the driver asks
# for a reset, starts once more on the lost stream, gives the driver up and, as JUCE does, creates
# it again until it plays, and compares what the device received with what it wrote.
#   device_loss_scenario.sh ASIO_DLL ASIOPROBE_EXE IDENTITY_FILE POLICY_DLL WORKDIR
source "$(dirname "$0")/audio_prefix.sh"

plug=$work/unplugged-$bits
output=$work/device-loss-$bits.out
rm -f "$plug" "$output" "$capture" "$capture".*
trap 'rm -f "$plug"' EXIT
now_ms() { date +%s%3N; }
# waits up to 20 s for the host to print a line matching $1
wait_for() {
  for _ in $(seq 400); do
    grep -q "$1" "$output" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
# The most a step may take: well above what it takes on a loaded machine, far below miniaudio's
# own 5 s wait for a device that gives no sign (and the "never" of a reset that never comes).
prompt_ms=2000

echo "== $bits-bit host: the DAC unplugged while playing, and plugged in again"
WINEALSA_MIX_FORMAT=s32/44100 WINEALSA_UNPLUGGED="Z:$plug" wine_run "C:\\vantrel-audio-$bits\\asioprobe.exe" "$name" \
  --play 1000 --reset --rate 44100 --capture "Z:$capture" >"$output" 2>&1 &
host=$!
wait_for 'start: ASE_OK'
sleep 0.3  # some periods
unplugged_at=$(now_ms)
touch "$plug"
wait_for 'given up:'
sleep 0.3
rm -f "$plug"
wait "$host"
status=$?
out=$(tr -d '\r' <"$output")

requested_at=$(sed -n 's/^ *reset request at \([0-9]*\) ms.*/\1/p' <<<"$out")
latency=$((${requested_at:-0} - unplugged_at))
[ -n "$requested_at" ] && echo "  the reset request came $latency ms after the unplug"
switches=$(sed -n 's/^ *reset request at .* after \([0-9]*\) buffer switches$/\1/p' <<<"$out")
check "played before the unplug" yes "$([ "${switches:-0}" -gt 0 ] && echo yes || echo no)"
check "the reset request came once" 1 "$(count 'driver asks for a reset')"
check "and within $prompt_ms ms of the unplug" yes "$([ -n "$requested_at" ] && [ "$latency" -ge 0 ] && [ "$latency" -le $prompt_ms ] && echo yes || echo no)"
check "getErrorMessage says the device went away" yes "$(grep -q 'getErrorMessage after the request: The device went away' <<<"$out" && echo yes || echo no)"
check "start on the lost stream is refused and says why" "ASE_NotPresent: The device went away" \
  "$(sed -n 's/^ *start on the lost stream: \(ASE_[A-Za-z]*: The device went away\).*/\1/p' <<<"$out")"
given=$(sed -n 's/^ *given up: //p' <<<"$out")
steps=$(sed -n 's/^stop ASE_OK in \([0-9]*\) ms, disposeBuffers ASE_OK in \([0-9]*\) ms, Release in \([0-9]*\) ms (0 left); DllCanUnloadNow: S_OK$/\1 \2 \3/p' <<<"$given")
check "stop, disposeBuffers, Release answered, no reference and no driver thread left ($given)" yes "$([ -n "$steps" ] && echo yes || echo no)"
slow=0
for ms in $steps; do [ "$ms" -le $prompt_ms ] || slow=$((slow + 1)); done
check "each within $prompt_ms ms" 0 "$slow"
check "made again after the replug, it plays" 2 "$(count 'start: ASE_OK')"
check "both streams reached the device as the host wrote them" "capture: bit-exact" "$(verdict)"
check "the host ended well" 0 "$status"
details

timeout 60 "$tree/usr/lib/wine/wineserver" -w
echo "device_loss_scenario ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
