#!/usr/bin/env bash
# Plays through one build of asio.dll, loaded by its registered name through COM, into Wine's ALSA
# driver built for exclusive event-driven streams, and checks what the device received against
# what the host wrote, with the endpoint already at the stream's format (audio_prefix.sh).
# rate_scenario.sh covers an endpoint that has to follow the host, and one that may not.
#   playback_scenario.sh ASIO_DLL ASIOPROBE_EXE IDENTITY_FILE POLICY_DLL WORKDIR
source "$(dirname "$0")/audio_prefix.sh"

# How long createBuffers and start took, and how many switches came before start returned (a host
# that ignores them loses those periods), over every run: recorded, not checked, since a loaded
# machine may stretch any of them.
timings=$work/timings.txt
: >"$timings"
note_timings() { grep -o 'timing: .*' <<<"$out" >>"$timings"; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) printf "%.2f", v[int((NR + 1) / 2)]; else printf "-" }'; }

echo "== $bits-bit host: PCM with the endpoint at 32-bit, the stream's rate"
for rate in 44100 48000 96000 192000; do
  out=$(play s32/$rate --play 1000 --rate $rate)
  check "$rate Hz: played" "start: ASE_OK" "$(line 'start: ASE_OK')"
  check "$rate Hz: the capture equals what the host wrote" "capture: bit-exact" "$(verdict)"
  check "$rate Hz: the host's apartment unchanged by the driver" 0 "$(count FAILED)"
  note_timings
  details
done

echo "== $bits-bit host: native DSD with the endpoint at 32-bit, the word rate"
for dsd in 64 128; do
  out=$(play s32/$((dsd * 44100 / 32)) --play 1000 --dsd $dsd)
  check "DSD$dsd: played although the DAC's mode request fails" "start: ASE_OK" "$(line 'start: ASE_OK')"
  check "DSD$dsd: the words arrive bit-exact" "capture: bit-exact" "$(verdict)"
  check "DSD$dsd: the host's apartment unchanged by the driver" 0 "$(count FAILED)"
  note_timings
  details
done

echo "== $bits-bit host: cycles on one driver object"
for again in start buffers; do
  for apartment in sta mta; do
    out=$(play s32/44100 --play 1000 --again $again $([ $apartment == mta ] && echo --mta))
    check "$again cycle ($apartment): both runs played" 2 "$(count 'start: ASE_OK')"
    check "$again cycle ($apartment): both runs arrive bit-exact" "2 runs, capture: bit-exact" "$(count 'capture of run') runs, $(verdict)"
    check "$again cycle ($apartment): the host's apartment unchanged by the driver" 0 "$(count FAILED)"
    note_timings
    details
  done
done

starts=$(grep -c 'timing: start' "$timings")
echo "timings ($bits-bit, $starts starts): createBuffers median $(sed -n 's/timing: createBuffers \([0-9.]*\) ms/\1/p' "$timings" | median) ms;" \
  "start median $(sed -n 's/timing: start \([0-9.]*\) ms.*/\1/p' "$timings" | median) ms," \
  "max $(sed -n 's/timing: start \([0-9.]*\) ms.*/\1/p' "$timings" | sort -n | tail -1) ms;" \
  "switches before start returned: median $(sed -n 's/.*, \([0-9]*\) switches before.*/\1/p' "$timings" | median)," \
  "max $(sed -n 's/.*, \([0-9]*\) switches before.*/\1/p' "$timings" | sort -n | tail -1)"

timeout 60 "$tree/usr/lib/wine/wineserver" -w
echo "playback_scenario ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
