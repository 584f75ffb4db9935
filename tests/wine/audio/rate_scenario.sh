#!/usr/bin/env bash
# The endpoint follows the host (audio_prefix.sh): the endpoint's Windows default format starts at
# float, 48000 Hz, a common Windows default, and the host plays every rate the DAC takes and DSD64,
# DSD128 and DSD256 through asio.dll, which makes the stream's format the default through the
# policy-configuration object while it plays and puts the user's back at Release. Then what the
# driver does when it may not follow ("followrate" 0) or cannot (a rate the DAC refuses).
#   rate_scenario.sh ASIO_DLL ASIOPROBE_EXE IDENTITY_FILE POLICY_DLL WORKDIR [summary]
# With "summary" it prints one line per rate and checks nothing (the package job's report).
source "$(dirname "$0")/audio_prefix.sh"

start=f32/48000
ms=600
# What the test audio driver's endpoint takes for exclusive use at 32-bit stereo.
dac_rates=" 44100 48000 88200 96000 176400 192000 352800 384000 "
pcm_rates="44100 48000 88200 96000 176400 192000 352800 384000"
dsd_multiples="64 128 256"

if [ "$mode" == summary ]; then
  heard() { local said; said=$(verdict | sed 's/^capture: //'); echo "${said:-not played}"; }
  for rate in $pcm_rates; do
    out=$(play $start --play $ms --rate $rate)
    echo "  $bits-bit asio.dll, PCM $rate Hz from $start: $(heard); endpoint $(endpoint 'while playing') while playing, $(endpoint 'after Release') after"
  done
  for dsd in $dsd_multiples; do
    out=$(play $start --play $ms --dsd $dsd)
    echo "  $bits-bit asio.dll, DSD$dsd from $start: $(heard); endpoint $(endpoint 'while playing') while playing, $(endpoint 'after Release') after"
  done
  timeout 60 "$tree/usr/lib/wine/wineserver" -w
  exit 0
fi

echo "== $bits-bit host: canSampleRate with the endpoint at $start"
out=$(WINEALSA_MIX_FORMAT=$start wine_run "C:\\vantrel-audio-$bits\\asioprobe.exe" "$name" --can-rates 2>&1 | tr -d '\r')
answer() { [[ "$dac_rates" == *" $1 "* ]] && echo "$2 ASE_OK" || echo "$2 ASE_NoClock"; }
expected=""
for rate in 8000 11025 16000 22050 32000 44100 48000 64000 88200 96000 176400 192000 352800 384000 705600 768000; do
  expected+=" $(answer $rate $rate)"
done
check "PCM: yes to exactly the rates the DAC takes" "${expected# }" "$(sed -n 's/^ *canSampleRate PCM: //p' <<<"$out")"
expected=""
for base in 44100 48000; do
  for multiple in 64 128 256 512; do expected+=" $(answer $((base * multiple / 32)) $((base * multiple)))"; done
done
check "DSD: yes to exactly the rates whose word rate the DAC takes" "${expected# }" "$(sed -n 's/^ *canSampleRate DSD: //p' <<<"$out")"
details

# played WHAT FORMAT: the checks of a run that must play bit-exact with the endpoint at FORMAT.
played() {
  check "$1: played, with nothing to say" "start: ASE_OK; getErrorMessage: " "$(line 'start: ASE_OK.*')"
  check "$1: the capture equals what the host wrote" "capture: bit-exact" "$(verdict)"
  check "$1: the endpoint at $2 while playing" "$2" "$(endpoint 'while playing')"
  check "$1: the endpoint back at $start after Release" "$start" "$(endpoint 'after Release')"
  check "$1: the host's apartment unchanged by the driver" 0 "$(count FAILED)"
  details
}

echo "== $bits-bit host: every rate, from $start"
for rate in $pcm_rates; do
  out=$(play $start --play $ms --rate $rate)
  played "PCM $rate Hz" "s32/$rate"
done
for dsd in $dsd_multiples; do
  out=$(play $start --play $ms --dsd $dsd)
  played "DSD$dsd" "s32/$((dsd * 44100 / 32))"
done

# converted WHAT MESSAGE: the checks of a run that must play converted at the start format.
converted() {
  check "$1: played" "start: ASE_OK" "$(line 'start: ASE_OK')"
  check "$1: getErrorMessage says so" "$2" "$(line 'getErrorMessage: .*' | sed 's/^getErrorMessage: //')"
  check "$1: the endpoint left at $start" "$start" "$(endpoint 'while playing')"
  check "$1: the device got more than silence" 0 "$(count 'capture: [0-9]* frames, 0 nonzero')"
  check "$1: and not the host's words" "capture: NOT bit-exact" "$(verdict)"
  check "$1: the endpoint still at $start after Release" "$start" "$(endpoint 'after Release')"
  details
}

echo "== $bits-bit host: \"followrate\" 0, from $start"
trap 'wine_run reg delete "HKCU\\Software\\halvane103\\ASIO" /f >/dev/null 2>&1' EXIT
wine_run reg add 'HKCU\Software\halvane103\ASIO' /v followrate /t REG_DWORD /d 0 /f >/dev/null 2>&1
out=$(play $start --play $ms --rate 44100)
converted "PCM 44100 Hz" "Not bit-perfect: Windows runs the device at 32-bit float, 48000 Hz, 2 ch; choose 32-bit, 44100 Hz"
out=$(play $start --play $ms --dsd 64)
check "DSD64: start refused" "start refused: ASE_NotPresent: DSD needs the device's Windows Default Format at 32-bit, 88200 Hz; it is 32-bit float, 48000 Hz, 2 ch" \
  "$(line 'start refused.*')"
check "DSD64: nothing reached the device" yes "$(grep -qE 'capture: (none|0 frames)' <<<"$out" && echo yes || echo no)"
check "DSD64: the endpoint still at $start after Release" "$start" "$(endpoint 'after Release')"
details
wine_run reg delete 'HKCU\Software\halvane103\ASIO' /f >/dev/null 2>&1
trap - EXIT

echo "== $bits-bit host: 64000 Hz, which the DAC refuses, from $start"
out=$(play $start --play $ms --rate 64000)
converted "PCM 64000 Hz" "Not bit-perfect: the device refuses exclusive 32-bit, 64000 Hz; it runs at 32-bit float, 48000 Hz. Play another rate"

timeout 60 "$tree/usr/lib/wine/wineserver" -w
echo "rate_scenario ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
