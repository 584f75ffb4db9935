#!/usr/bin/env bash
# The edges of the driver's life under Wine, with streams that really run (the test audio driver
# of build_winealsa.sh, into ALSA's file plugin): hosts that release the driver inside bufferSwitch
# and unload its module at once, that end the process while playing, that release it from a static
# destructor or from a plugin's DLL_PROCESS_DETACH, and that race a stop inside bufferSwitch. Each
# case must end by itself, in time, with its exit code and no crash. The prefix is 64-bit, so the
# 32-bit build is the WOW64 case.
#   lifecycle_scenario.sh ASIO_DLL HOST_EXE PLUGIN_DLL IDENTITY_FILE WORKDIR
set -uo pipefail
dll=$1 host=$2 plugin=$3 identity=$4
work=$(mkdir -p "$5" && cd "$5" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
source "$here/../audio/wine_prefix.sh"
# The endpoint at the hosts' format, so that the stream runs unconverted as on a set-up machine.
export WINEALSA_MIX_FORMAT=s32/44100
cat >"$ALSA_CONFIG_PATH" <<EOF
# The device: what is played is only written away; these hosts never look at it.
pcm.!default { type file; slave.pcm { type null }; file "$work/sink.raw"; format "raw"; truncate true }
EOF
make_prefix
folder=vantrel-life-$bits
mkdir -p "$WINEPREFIX/drive_c/$folder"
cp "$dll" "$WINEPREFIX/drive_c/$folder/asio.dll" && cp "$identity" "$WINEPREFIX/drive_c/$folder/asio.dll.ini"
cp "$host" "$WINEPREFIX/drive_c/$folder/lifecycle_host.exe" && cp "$plugin" "$WINEPREFIX/drive_c/$folder/lifecycle_plugin.dll"
timeout 120 "$loader" "$regsvr32" /s "C:\\$folder\\asio.dll" >/dev/null 2>&1
check "regsvr32 of the $bits-bit asio.dll" 0 $?

# run LIMIT ARGS...: one host process, killed after LIMIT seconds. Leaves its output in $out and
# its end in $ending: "exit N" or "killed at LIMIT s", with ", crashed" when anything crashed, and
# $late: how long after its "leaving" line it took to end ("within 2 s" or the milliseconds).
run() {
  local limit=$1 log=$work/host.out left= ended
  shift
  rm -f "$work"/sink.raw*
  : >"$log"
  timeout -k 5 "$limit" "$loader" "C:\\$folder\\lifecycle_host.exe" "$name" "$@" >"$log" 2>&1 &
  local pid=$!
  while kill -0 $pid 2>/dev/null; do
    [ -z "$left" ] && grep -q '^leaving' "$log" && left=$(date +%s%N)
    sleep 0.01
  done
  wait $pid
  local status=$?
  ended=$(date +%s%N)
  out=$(tr -d '\r' <"$log")
  # Gone before the next look at the log: it ended within that look's 10 ms.
  [ -z "$left" ] && grep -q '^leaving' <<<"$out" && left=$ended
  if [ $status -eq 124 ] || [ $status -eq 137 ]; then ending="killed at $limit s"; else ending="exit $status"; fi
  grep -qiE 'page fault|^crash:' <<<"$out" && ending="$ending, crashed"
  if [ -z "$left" ]; then
    late="never left"
  elif [ $(((ended - left) / 1000000)) -lt 2000 ]; then
    late="within 2 s"
  else
    late="$(((ended - left) / 1000000)) ms after leaving"
  fi
}
seen=0
details() {  # the host's own account and Wine's word on a crash, when a check of it failed
  [ "$failures" -gt "$seen" ] &&
    grep -E '^(crash|round|detach|leaving|FreeLibrary|static destructor|[0-9]+ rounds|no |the |init|CoCreateInstance)|Unhandled' <<<"$out" |
    head -n 8 | sed 's/^/    | /'
  seen=$failures
}

echo "== $bits-bit host: Release inside bufferSwitch, then the module freed at once, 40 rounds each"
for unload in cofree freelibrary; do
  for stop in stop nostop; do
    run 120 release-in-switch $unload $stop 40
    check "$unload, $([ $stop == stop ] && echo 'a stop first' || echo 'no stop'): no crash, the module gone at the end" \
      "exit 0" "$ending"
    details
  done
done

echo "== $bits-bit host: the process ends while playing"
run 10 exit-process
check "ExitProcess(7) while playing: ends within 2 s with its code" "exit 7, within 2 s" "$ending, $late"
details
run 10 static-release
check "Release from a static destructor while playing: ends within 2 s" "exit 0, within 2 s, released" \
  "$ending, $late, $(grep -q '^static destructor: Release leaves 0' <<<"$out" && echo released || echo 'not released')"
details

echo "== $bits-bit host: a plugin that gives the driver up in its DLL_PROCESS_DETACH"
run 10 plugin-exit "C:\\$folder\\lifecycle_plugin.dll"
check "at process exit: ends within 2 s, the driver released" "exit 0, within 2 s, released" \
  "$ending, $late, $(grep -q '^detach: .*Release leaves 0' <<<"$out" && echo released || echo 'not released')"
details
run 10 plugin-free "C:\\$folder\\lifecycle_plugin.dll"
freed=$(grep -o '^FreeLibrary of the plugin: .*' <<<"$out")
ms=$(grep -o 'returned after [0-9]*' <<<"$freed" | grep -o '[0-9]*$')
check "FreeLibrary of the plugin while running on: returns within 2 s, then the process ends by itself" \
  "returned within 2 s, exit 0" \
  "$([ -n "$ms" ] && [ "$ms" -lt 2000 ] && echo 'returned within 2 s' || echo "${freed:-FreeLibrary never returned}"), $ending"
details

echo "== $bits-bit host: a stop inside bufferSwitch raced by a stop on the main thread"
run 30 racing-stop 5
check "5 rounds: no crash, no hang, every call ASE_OK" "exit 0" "$ending"
details

timeout 60 "$tree/usr/lib/wine/wineserver" -w
echo "lifecycle_scenario ($bits-bit): $failures failed"
[ "$failures" -eq 0 ]
