#!/usr/bin/env bash
# The live status and the log while a host plays (audio_prefix.sh): a watcher built on the settings
# program's own status reader follows the host's driver object and must see what the host asked
# for, what the endpoint runs, the verdict and the periods counting up, for a bit-perfect stream and
# for one that plays converted ("followrate" 0 with the endpoint at float, 48000 Hz). The bit-perfect
# play has the log on, and every step of it must be in the log, in order. With a watcher of the
# other bitness (VANTREL_STATUS_WATCH_OTHER), the blocks are read across bitnesses too.
#   status_scenario.sh ASIO_DLL ASIOPROBE_EXE IDENTITY_FILE POLICY_DLL WORKDIR
# The watcher: VANTREL_STATUS_WATCH.
source "$(dirname "$0")/audio_prefix.sh"

cp "$VANTREL_STATUS_WATCH" "$folder/status_watch.exe"
watchers=("C:\\vantrel-audio-$bits\\status_watch.exe")
watcher_bits=($bits)
other=${VANTREL_STATUS_WATCH_OTHER:-}
if [ -n "$other" ] && [ -f "$other" ]; then
  cp "$other" "$folder/status_watch_other.exe"
  watchers+=("C:\\vantrel-audio-$bits\\status_watch_other.exe")
  watcher_bits+=($((96 - bits)))
fi
ms=4000

# watch FORMAT ARGS...: plays as `play` does, in the background, while each watcher follows it.
watch() {
  local format=$1 watcher
  shift
  play "$format" --play $ms "$@" >"$work/host.out" &
  local host=$!
  # The watchers follow the same play side by side.
  local i=0 pids=()
  for watcher in "${watchers[@]}"; do
    wine_run "$watcher" asioprobe.exe 30 >"$work/watch.$i" 2>&1 &
    pids+=($!)
    i=$((i + 1))
  done
  wait $host "${pids[@]}"
  seen=()
  for ((i = 0; i < ${#watchers[@]}; ++i)); do seen+=("$(tr -d '\r' <"$work/watch.$i")"); done
  out=$(cat "$work/host.out")
}
field() { sed -n "s/^$1: //p" <<<"$2"; }
# observed WHAT: the checks every watcher's account must pass.
observed() {
  local rate=$2 endpoint=$3 verdict=$4 account what i
  for ((i = 0; i < ${#seen[@]}; ++i)); do
    account=${seen[$i]} what="$1, ${watcher_bits[$i]}-bit watcher"
    check "$what: the watcher saw the host" "asioprobe.exe $bits" "$(field host "$account") $(field bits "$account")"
    check "$what: what the host asked for" "PCM $rate Hz" "$(field asked "$account")"
    check "$what: what the endpoint runs" "$endpoint" "$(field endpoint "$account")"
    check "$what: the verdict" "$verdict" "$(field verdict "$account")"
    local periods
    periods=$(field periods "$account")
    check "$what: the periods count up while it plays ($periods)" yes \
      "$(awk '{ print ($1 >= 3 && $3 >= 2 && $8 > $6) ? "yes" : "no" }' <<<"${periods//,/}")"
    [ "$failures" -gt "$seen_failures" ] && sed 's/^/    | /' <<<"$account"
    seen_failures=$failures
  done
}
seen_failures=0

logfile=$(find "$WINEPREFIX/drive_c/users" -maxdepth 1 -mindepth 1 -type d ! -name Public | head -1)/AppData/Local/Vantrel/asio.log
rm -f "$logfile" "$logfile.1"

echo "== $bits-bit host: bit-perfect at 44100 Hz from s32/44100, with the log on"
set_setting log 1
watch s32/44100 --rate 44100
clear_setting log
check "bit-perfect: the capture equals what the host wrote" "capture: bit-exact" "$(verdict)"
observed "bit-perfect" 44100 "32-bit, 44100 Hz, 2 ch" "bit-perfect"
details

# The play in the log, each step after the one before, every line with the host's process id.
expected=("init() = ASIOTrue" "setSampleRate(44100) = ASE_OK" "stream opened: asked PCM, 32-bit, 2 ch, 44100 Hz; the endpoint runs 32-bit, 2 ch, 44100 Hz" "createBuffers(2 channels"
  "start() = ASE_OK" "stop() = ASE_OK" "disposeBuffers() = ASE_OK" "released")
at=0
for entry in "${expected[@]}"; do
  line=$(grep -n -F "$entry" "$logfile" 2>/dev/null | awk -F: -v at="$at" '$1 > at { print $1; exit }')
  check "log: \"$entry\" after line $at" yes "$([ -n "$line" ] && echo yes || echo no)"
  at=${line:-$at}
done
check "log: every line has a time stamp and a process id" 0 \
  "$(grep -c -v -E '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[[0-9]+ #[0-9]+\] ' "$logfile" 2>/dev/null)"
[ "$failures" -gt 0 ] && sed 's/^/    | /' "$logfile" 2>/dev/null

echo "== $bits-bit host: converted at 44100 Hz with \"followrate\" 0, from f32/48000"
set_setting followrate 0
watch f32/48000 --rate 44100
clear_setting followrate
check "converted: the capture is not the host's words" "capture: NOT bit-exact" "$(verdict)"
observed "converted" 44100 "32-bit float, 48000 Hz, 2 ch" \
  "converted: Not bit-perfect: Windows runs the device at 32-bit float, 48000 Hz, 2 ch; choose 32-bit, 44100 Hz"
check "converted: nothing more logged with the log off" 1 "$(grep -c -F 'start() = ASE_OK' "$logfile" 2>/dev/null)"
details

timeout 60 "$tree/usr/lib/wine/wineserver" -w
echo "status_scenario ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
