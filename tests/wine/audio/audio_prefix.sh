# The Wine playback scenarios' common ground, sourced by them: the test audio driver
# (build_winealsa.sh), ALSA's file plugin as the device, one 64-bit prefix (so the 32-bit build is
# the WOW64 case) with the built asio.dll and the tests' policy-configuration object registered
# by the regsvr32 of their bitness, and a host that plays into it.
#   <scenario>.sh ASIO_DLL ASIOPROBE_EXE IDENTITY_FILE POLICY_DLL WORKDIR [summary]
# Sets: dll probe identity policy mode work bits name tree; defines wine_run, play and the helpers
# that read the host's output ($out).
set -uo pipefail
dll=$1 probe=$2 identity=$3 policy=$4 mode=${6:-checks}
work=$(mkdir -p "$5" && cd "$5" && pwd)
audio=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$audio/../checks.sh"
source "$audio/wine_prefix.sh"
capture=$work/capture.raw
cat >"$ALSA_CONFIG_PATH" <<CONF
# The device: every byte played goes to $capture (one file per stream: .0001, ... after it).
pcm.!default { type file; slave.pcm { type null }; file "$capture"; format "raw"; truncate false }
CONF
wine_run() { timeout 120 "$loader" "$@"; }
make_prefix
folder=$WINEPREFIX/drive_c/vantrel-audio-$bits
mkdir -p "$folder"
cp "$dll" "$folder/asio.dll" && cp "$identity" "$folder/asio.dll.ini" && cp "$probe" "$folder/asioprobe.exe" &&
  cp "$policy" "$folder/policyconfig.dll"
wine_run "$regsvr32" /s "C:\\vantrel-audio-$bits\\asio.dll" "C:\\vantrel-audio-$bits\\policyconfig.dll" >/dev/null 2>&1
registered=$?
[ "$mode" == summary ] || check "regsvr32 of the $bits-bit asio.dll and policy-configuration object" 0 "$registered"

# play FORMAT ARGS...: the host's output for one run, the endpoint's default format FORMAT when
# the host starts (the user's choice in Sound settings).
play() {
  local format=$1
  shift
  rm -f "$capture" "$capture".*
  WINEALSA_MIX_FORMAT=$format wine_run "C:\\vantrel-audio-$bits\\asioprobe.exe" "$name" "$@" --capture "Z:$capture" 2>&1 | tr -d '\r'
}
line() { grep -m1 -o "$1" <<<"$out"; }
seen=0
details() {  # the host's account of the runs, when a check of them failed
  [ "$failures" -gt "$seen" ] && grep -E 'play:|run [12]:|refused|capture|endpoint|FAILED' <<<"$out" | sed 's/^ */    | /'
  seen=$failures
}
verdict() { grep -m1 -o -E 'capture: (bit-exact|NOT bit-exact|none)' <<<"$out"; }
count() { grep -c "$1" <<<"$out"; }
endpoint() { sed -n "s/^ *endpoint $1: //p" <<<"$out" | head -1; }  # endpoint WHEN: the format then
# The settings the driver reads; set_setting NAME VALUE, or clear_setting NAME.
set_setting() { wine_run reg add 'HKCU\Software\halvane103\ASIO' /v "$1" /t REG_DWORD /d "$2" /f >/dev/null 2>&1; }
clear_setting() { wine_run reg delete 'HKCU\Software\halvane103\ASIO' /v "$1" /f >/dev/null 2>&1; }
