#!/usr/bin/env bash
# asioconfig.exe under Wine on a virtual X server: the dialog driven through its controls, the
# registry read back with `wine reg query` after Apply, invalid input, Cancel and OK, a host's
# controlPanel starting the program, the live status while a host plays (through the test audio
# driver of tests/wine/audio, which plays exclusive streams), and screenshots at 96 and 144 DPI for
# a person to look at.
#   wine_asioconfig.sh CONFIG_EXE DRIVER_EXE HOST_EXE ASIO_DLL IDENTITY_FILE OUT_DIR
set -uo pipefail
config_exe=$1 driver_exe=$2 host_exe=$3 asio_dll=$4 identity=$5 out=$6

# A prefix of its own: it runs in a virtual desktop, which the console tests' prefix must not.
export WINEPREFIX=$out/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml=
# The silent ALSA device the other Wine runs use, so that there is a device to list.
export ALSA_CONFIG_PATH=$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-asound.conf
key='HKCU\Software\halvane103\ASIO'
app=$out/app
screens=$out/screens
passed=0
failed=0

check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1: expected [$2], got [$3]"
  fi
}
check_contains() {  # check_contains DESCRIPTION NEEDLE HAYSTACK
  if [[ "$3" == *"$2"* ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1: [$2] not in [${3:0:300}]"
  fi
}

drive() { wine "$driver_exe" "$@" 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# "TYPE DATA" of one settings value, or "missing".
value() {
  local line
  line=$(wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { print $2, $3 }')
  echo "${line:-missing}"
}
# Apply writes from the dialog's thread; the script waits until the value shows or 5 s pass.
await_value() {
  local name=$1 want=$2 got
  for _ in $(seq 50); do
    got=$(value "$name")
    [ "$got" = "$want" ] && break
    sleep 0.1
  done
  echo "$got"
}
start_dialog() {
  wine "$app/asioconfig.exe" >/dev/null 2>&1 &
  image=$(drive wait 60)
  check "the dialog opens" 0 $?
}
close_dialog() {  # close_dialog BUTTON
  drive click "$1" >/dev/null
  drive gone 20 >/dev/null
  check "the dialog closes on $1" 0 $?
}
screenshot() {
  sleep 1
  import -display ":$display" -window root "$screens/$1.png"
  check "screenshot $1 written" 0 $?
  echo "screenshot: $screens/$1.png"
}

display=
xvfb_pid=
cleanup() {
  wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

for n in $(seq 90 140); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
  done
  if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
    display=$n
    break
  fi
  xvfb_pid=
done
if [ -z "$display" ]; then
  echo "wine_asioconfig: no virtual X server could be started"
  exit 1
fi
export DISPLAY=":$display"

rm -rf "$app" "$screens"
mkdir -p "$app" "$screens" "$WINEPREFIX"
cp "$config_exe" "$asio_dll" "$app/"
cp "$identity" "$app/asio.dll.ini"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# A virtual desktop draws the title bar that no window manager draws here.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1600x1200 /f >/dev/null 2>&1
wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
wine reg delete 'HKCU\Software\halvane103' /f >/dev/null 2>&1
# The desktop settings count from the next start of the Wine session.
wineserver -k 2>/dev/null
wineserver -w
app_windows=$(winepath -w "$app" 2>/dev/null | tr -d '\r')

# Wine 8 reports every window per-monitor DPI aware, manifest or not, so what is checked here
# is that the image carries the manifest the loader reads.
manifest=$(strings "$config_exe" | tr -d ' ')
check_contains "manifest: common controls 6" 'name="Microsoft.Windows.Common-Controls"version="6.0.0.0"' "$manifest"
check_contains "manifest: per-monitor DPI" '>PerMonitorV2,PerMonitor</dpiAwareness>' "$manifest"

echo "=== an existing key: what the driver reads, invalid input, Apply, Cancel"
wine reg add "$key" /v samples /t REG_DWORD /d 777 /f >/dev/null 2>&1
wine reg add "$key" /v threads /t REG_DWORD /d 2 /f >/dev/null 2>&1
wine reg add "$key" /v buffers /t REG_DWORD /d 5 /f >/dev/null 2>&1
wine reg add "$key" /v latencyms /t REG_DWORD /d 5 /f >/dev/null 2>&1
wine reg add "$key" /v fifosize /t REG_SZ /d 16 /f >/dev/null 2>&1
wine reg add "$key" /v samplerate /t REG_DWORD /d 48000 /f >/dev/null 2>&1
start_dialog
check "the program started is the one beside asio.dll" "$app_windows\\asioconfig.exe" "$image"
check "latency shown" 5 "$(drive get latency)"
check "periods shown" 2 "$(drive get periods)"
check "rate shown" 48000 "$(drive get rate)"
check "buffer sizes" "Buffer size: 220 frames at 44100 Hz, 240 at 48000 Hz; in DSD64 14080 one-bit samples (440 words)." "$(drive get sizes)"
check "when a change takes effect" "Hosts that have the driver open are asked to reload it to take a change." "$(drive get when)"
check_contains "the device sentence" "playback device" "$(drive get device-note)"
drive enabled apply
check "Apply waits for a change" 3 $?
drive checked follow
check "following the host's rate is on without the value" 0 $?
check "what following does" "The driver sets the device's Windows format to each stream's rate, so every rate plays bit-perfect; yours returns when the host closes it." "$(drive get follow-note)"
# No policy object under Wine: the driver never replaces the format, so there is no record.
check "no replaced format to tell of" "" "$(drive get replaced)"
drive enabled put-back
check "no format to put back" 3 $?

drive set latency 'abc'
check_contains "a message beside the latency" "Enter a whole number from 1 to 1000." "$(drive get latency-error)"
drive enabled apply
check "no Apply on invalid input" 3 $?
drive click ok
sleep 1
drive wait 1 >/dev/null
check "OK keeps the dialog open on invalid input" 0 $?
check "nothing written on invalid input" "REG_DWORD 0x5" "$(value latencyms)"
screenshot asioconfig-invalid-96dpi

drive set latency 12
check "the error clears" "" "$(drive get latency-error)"
check_contains "the sizes follow the latency" "528 frames at 44100 Hz, 576 at 48000 Hz" "$(drive get sizes)"
drive click apply
check "Apply writes the latency" "REG_DWORD 0xc" "$(await_value latencyms 'REG_DWORD 0xc')"
check "samples kept" "REG_DWORD 0x309" "$(value samples)"
check "threads kept" "REG_DWORD 0x2" "$(value threads)"
check "buffers kept" "REG_DWORD 0x5" "$(value buffers)"
check "fifosize kept, type and all" "REG_SZ 16" "$(value fifosize)"
check "samplerate kept" "REG_DWORD 0xbb80" "$(value samplerate)"
check "followrate not written while unchanged" missing "$(value followrate)"
check "log not written while unchanged" missing "$(value log)"
check "no host has the driver open" "No host has the driver open." "$(drive get live-status)"
drive enabled open-log
check "the log can be opened" 0 $?
drive enabled apply
check "Apply is done" 3 $?
screenshot asioconfig-96dpi

drive click follow
sleep 1
drive click apply
check "the box off writes followrate 0" "REG_DWORD 0x0" "$(await_value followrate 'REG_DWORD 0x0')"
drive set latency 40
close_dialog cancel
check "Cancel writes nothing" "REG_DWORD 0xc" "$(value latencyms)"

echo "=== a value of another type: shown as the driver reads it, replaced only when changed"
wine reg add "$key" /v latencyms /t REG_BINARY /d 1400 /f >/dev/null 2>&1
start_dialog
check "two bytes 14 00 read as 20" 20 "$(drive get latency)"
check "the odd value is pointed out" "Stored as another type; shown as the driver reads it." "$(drive get latency-error)"
drive set periods 3
drive click apply
check "Apply writes the periods" "REG_DWORD 0x3" "$(await_value threads 'REG_DWORD 0x3')"
check "the unchanged odd value stays" "REG_BINARY 1400" "$(value latencyms)"
drive set latency 25
drive click apply
check "the changed odd value is replaced" "REG_DWORD 0x19" "$(await_value latencyms 'REG_DWORD 0x19')"
close_dialog cancel

echo "=== the keyboard alone: type over the latency, Tab to the periods, Alt+A, then Esc"
start_dialog
drive keys text:8 tab text:6 alt+a
check "typed latency applied" "REG_DWORD 0x8" "$(await_value latencyms 'REG_DWORD 0x8')"
check "typed periods applied" "REG_DWORD 0x6" "$(await_value threads 'REG_DWORD 0x6')"
drive keys alt+l text:9 esc
drive gone 20 >/dev/null
check "Esc cancels" 0 $?
check "nothing written after Esc" "REG_DWORD 0x8" "$(value latencyms)"
start_dialog
drive keys alt+s text:96000 enter
drive gone 20 >/dev/null
check "Enter is OK" 0 $?
check "typed rate written by OK" "REG_DWORD 0x17700" "$(value samplerate)"

echo "=== no key yet: OK creates it with all eight values"
wine reg delete 'HKCU\Software\halvane103' /f >/dev/null 2>&1
start_dialog
check "default latency shown" 5 "$(drive get latency)"
drive set periods 4
close_dialog ok
check "samples created" "REG_DWORD 0x200" "$(value samples)"
check "threads created" "REG_DWORD 0x4" "$(value threads)"
check "buffers created" "REG_DWORD 0x1" "$(value buffers)"
check "latencyms created" "REG_DWORD 0x5" "$(value latencyms)"
check "fifosize created" "REG_DWORD 0x8" "$(value fifosize)"
check "samplerate created" "REG_DWORD 0xac44" "$(value samplerate)"
check "followrate created" "REG_DWORD 0x1" "$(value followrate)"
check "log created, off" "REG_DWORD 0x0" "$(value log)"

echo "=== a host's control-panel button"
wine reg delete "$key" /f >/dev/null 2>&1
# The driver registered as an installation registers it, then loaded by name by the host tool.
wine 'C:\windows\syswow64\regsvr32.exe' /s "$app_windows\\asio.dll" >/dev/null 2>&1
check "regsvr32" 0 $?
host_out=$(wine "$host_exe" "Vantrel ASIO" --control-panel 2>/dev/null | tr -d '\r' | grep 'controlPanel:')
check "controlPanel answers" "    controlPanel: ASE_OK" "$host_out"
image=$(drive wait 60)
check "controlPanel starts the dialog" 0 $?
check "from the folder of asio.dll" "$app_windows\\asioconfig.exe" "$image"
close_dialog cancel
check "Cancel leaves no key" missing "$(value latencyms)"
wine 'C:\windows\syswow64\regsvr32.exe' /s /u "$app_windows\\asio.dll" >/dev/null 2>&1

echo "=== the live status while a host plays, and the log"
# The test audio driver plays the host's exclusive stream; its loader and server run the prefix
# from here on, the dialog included, so that all of them share one session.
tree=$(bash "$(dirname "$0")/../wine/audio/build_winealsa.sh")
check "the test audio driver is there" 0 $?
wineserver -k 2>/dev/null
wineserver -w
wine() { "$tree/usr/lib/wine/wine" "$@"; }
wineserver() { "$tree/usr/lib/wine/wineserver" "$@"; }
export ALSA_CONFIG_PATH=$out/asound-file.conf
cat >"$ALSA_CONFIG_PATH" <<CONF
pcm.!default { type file; slave.pcm { type null }; file "/dev/null"; format "raw" }
CONF
wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1
wine 'C:\windows\syswow64\regsvr32.exe' /s "$app_windows\\asio.dll" >/dev/null 2>&1
check "regsvr32 for the playing host" 0 $?
host_pid=
play_host() {  # a 32-bit host plays 44100 Hz with the endpoint there: bit-perfect
  WINEALSA_MIX_FORMAT=s32/44100 wine "$host_exe" "Vantrel ASIO" --play 60000 --rate 44100 >"$out/host.out" 2>&1 &
  host_pid=$!
}
stop_host() { [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; host_pid=; }
periods() { drive get live-status | sed -n 's/.* \([0-9]*\) periods played.*/\1/p' | head -1; }
await_playing() {
  local text=
  for _ in $(seq 150); do
    text=$(drive get live-status)
    [[ "$text" == *"playing"* ]] && break
    sleep 0.2
  done
  echo "$text"
}
play_host
start_dialog
status=$(await_playing)
check_contains "the host is listed" "asioprobe.exe (32-bit, process " "$status"
check_contains "it plays" "): playing" "$status"
check_contains "what it asked for and what the endpoint runs" "Host asks for 32-bit PCM at 44100 Hz; the endpoint runs 32-bit, 44100 Hz, 2 ch" "$status"
check_contains "the verdict" $'\n  bit-perfect' "$status"
first=$(periods)
sleep 1.5
later=$(periods)
check "the periods count up without a restart ($first, then $later)" yes "$([ "${later:-0}" -gt "${first:-0}" ] && echo yes || echo no)"
screenshot asioconfig-status-96dpi
drive click log
sleep 1
drive click apply
check "the box writes log 1" "REG_DWORD 0x1" "$(await_value log 'REG_DWORD 0x1')"
close_dialog cancel
stop_host

echo "=== 144 DPI, while a host plays"
wineserver -k 2>/dev/null
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
wineserver -w
play_host
start_dialog
check_contains "the host is listed at 144 DPI" "asioprobe.exe (32-bit" "$(await_playing)"
drive checked log
check "the log box shows the setting" 0 $?
screenshot asioconfig-144dpi
close_dialog cancel
stop_host
wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
wine 'C:\windows\syswow64\regsvr32.exe' /s /u "$app_windows\\asio.dll" >/dev/null 2>&1

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
