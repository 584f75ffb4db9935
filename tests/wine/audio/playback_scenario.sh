#!/usr/bin/env bash
# Plays through one build of asio.dll, loaded by its registered name through COM, into Wine's ALSA
# driver built for exclusive event-driven streams (build_winealsa.sh), with ALSA's file plugin as
# the device, and checks what the device received against what the host wrote. The endpoint's
# Windows format is chosen per run through WINEALSA_MIX_FORMAT. The prefix is 64-bit, so the
# 32-bit build is the WOW64 case.
#   playback_scenario.sh ASIO_DLL ASIOPROBE_EXE IDENTITY_FILE WORKDIR [summary]
# With "summary" it prints one line per run and checks nothing more (the package job's report).
set -uo pipefail
dll=$1 probe=$2 identity=$3 mode=${5:-checks}
work=$(mkdir -p "$4" && cd "$4" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"

tree=$(bash "$here/build_winealsa.sh") || { echo "FAILED: the test audio driver is not available (see above)"; exit 1; }
loader=$tree/usr/lib/wine/wine
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ALSA_CONFIG_PATH=$work/asound.conf
capture=$work/capture.raw
cat >"$ALSA_CONFIG_PATH" <<EOF
# The device: every byte played goes to $capture (one file per stream: .0001, ... after it).
pcm.!default { type file; slave.pcm { type null }; file "$capture"; format "raw"; truncate false }
EOF
wine_run() { timeout 120 "$loader" "$@"; }

if i686-w64-mingw32-objdump -f "$dll" 2>/dev/null | grep -q 'pei-i386'; then
  bits=32 regsvr32='C:\windows\syswow64\regsvr32.exe'
else
  bits=64 regsvr32='C:\windows\system32\regsvr32.exe'
fi
name=$(sed -n 3p "$identity" | tr -d '\r')

# The prefix is made once per tree of the test driver (after both of its bitnesses exist).
if [ "$(cat "$work/prefix.stamp" 2>/dev/null)" != "$(cat "$tree/../stamp")" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wine_run wineboot -i >/dev/null 2>&1
  wine_run reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1
  timeout 60 "$tree/usr/lib/wine/wineserver" -w
  cat "$tree/../stamp" >"$work/prefix.stamp"
fi
folder=$WINEPREFIX/drive_c/vantrel-audio-$bits
mkdir -p "$folder"
cp "$dll" "$folder/asio.dll" && cp "$identity" "$folder/asio.dll.ini" && cp "$probe" "$folder/asioprobe.exe"
wine_run "$regsvr32" /s "C:\\vantrel-audio-$bits\\asio.dll" >/dev/null 2>&1
registered=$?
[ "$mode" == summary ] || check "regsvr32 of the $bits-bit asio.dll" 0 "$registered"

# play FORMAT ARGS...: the host's output for one run with the endpoint at FORMAT.
play() {
  local format=$1
  shift
  rm -f "$capture" "$capture".*
  WINEALSA_MIX_FORMAT=$format wine_run "C:\\vantrel-audio-$bits\\asioprobe.exe" "$name" "$@" --capture "Z:$capture" 2>&1 | tr -d '\r'
}
line() { grep -m1 -o "$1" <<<"$out"; }
seen=0
details() {  # the host's account of the runs, when a check of them failed
  [ "$failures" -gt "$seen" ] && grep -E 'play:|run [12]:|refused|capture|FAILED' <<<"$out" | sed 's/^ */    | /'
  seen=$failures
}
verdict() { grep -m1 -o -E 'capture: (bit-exact|NOT bit-exact|none)' <<<"$out"; }
count() { grep -c "$1" <<<"$out"; }

if [ "$mode" == summary ]; then
  out=$(play s32/44100 --play 500)
  echo "  $bits-bit asio.dll, PCM 44100 Hz, endpoint s32/44100: $(verdict)"
  out=$(play s32/88200 --play 500 --dsd 64)
  echo "  $bits-bit asio.dll, DSD64, endpoint s32/88200: $(verdict)"
  exit 0
fi

echo "== $bits-bit host: PCM with the endpoint at 32-bit, the stream's rate"
for rate in 44100 48000 96000 192000; do
  out=$(play s32/$rate --play 1000 --rate $rate)
  check "$rate Hz: played" "start: ASE_OK" "$(line 'start: ASE_OK')"
  check "$rate Hz: the capture equals what the host wrote" "capture: bit-exact" "$(verdict)"
  check "$rate Hz: the host's apartment unchanged by the driver" 0 "$(count FAILED)"
  details
done

echo "== $bits-bit host: native DSD with the endpoint at 32-bit, the word rate"
for dsd in 64 128; do
  out=$(play s32/$((dsd * 44100 / 32)) --play 1000 --dsd $dsd)
  check "DSD$dsd: played although the DAC's mode request fails" "start: ASE_OK" "$(line 'start: ASE_OK')"
  check "DSD$dsd: the words arrive bit-exact" "capture: bit-exact" "$(verdict)"
  check "DSD$dsd: the host's apartment unchanged by the driver" 0 "$(count FAILED)"
  details
done

echo "== $bits-bit host: the endpoint at 32-bit float, 48000 Hz"
out=$(play f32/48000 --play 1000 --rate 44100)
check "PCM at 44100 Hz: played converted" "start: ASE_OK" "$(line 'start: ASE_OK')"
check "PCM: getErrorMessage says so and what to choose" \
  "Not bit-perfect: Windows runs the device at 32-bit float, 48000 Hz, 2 ch; choose 32-bit, 44100 Hz" \
  "$(line 'Not bit-perfect: [^;]*; choose 32-bit, 44100 Hz' | head -1)"
frames=$(sed -n 's/.*capture: \([0-9]*\) frames, \([0-9]*\) nonzero.*/\1/p' <<<"$out")
check "PCM: the device got about a second at 48000 Hz" yes "$([ "${frames:-0}" -gt 45000 ] && [ "${frames:-0}" -lt 52000 ] && echo yes || echo "no: ${frames:-0} frames")"
check "PCM: what it got is not silence" 0 "$(count 'capture: [0-9]* frames, 0 nonzero')"
details
out=$(play f32/48000 --play 1000 --dsd 64)
check "DSD64: start refused" "start refused" "$(line 'start refused')"
check "DSD64: nothing reached the device" yes "$(grep -qE 'capture: (none|0 frames)' <<<"$out" && echo yes || echo no)"
details

echo "== $bits-bit host: cycles on one driver object"
for again in start buffers; do
  for apartment in sta mta; do
    out=$(play s32/44100 --play 1000 --again $again $([ $apartment == mta ] && echo --mta))
    check "$again cycle ($apartment): both runs played" 2 "$(count 'start: ASE_OK')"
    check "$again cycle ($apartment): both runs arrive bit-exact" "2 runs, capture: bit-exact" "$(count 'capture of run') runs, $(verdict)"
    check "$again cycle ($apartment): the host's apartment unchanged by the driver" 0 "$(count FAILED)"
    details
  done
done

timeout 60 "$tree/usr/lib/wine/wineserver" -w
echo "playback_scenario ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
