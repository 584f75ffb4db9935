# Sourced by the scenarios that run real streams under Wine: the test audio driver's Wine
# (build_winealsa.sh) and a 64-bit prefix of its own in $work/prefix, so that a 32-bit driver is
# the WOW64 case.
# Needs: work, dll, identity. Sets: tree loader bits regsvr32 name, and Wine's environment, with
# ALSA_CONFIG_PATH=$work/asound.conf for the caller to write (the device) before make_prefix.
wine_audio=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tree=$(bash "$wine_audio/build_winealsa.sh") || { echo "FAILED: the test audio driver is not available (see above)"; exit 1; }
loader=$tree/usr/lib/wine/wine
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ALSA_CONFIG_PATH=$work/asound.conf

if i686-w64-mingw32-objdump -f "$dll" 2>/dev/null | grep -q 'pei-i386'; then
  bits=32 regsvr32='C:\windows\syswow64\regsvr32.exe'
else
  bits=64 regsvr32='C:\windows\system32\regsvr32.exe'
fi
name=$(sed -n 3p "$identity" | tr -d '\r')

# The prefix is made once per tree of the test driver (after both of its bitnesses exist), with
# Wine's ALSA driver as the audio driver.
make_prefix() {
  [ "$(cat "$work/prefix.stamp" 2>/dev/null)" == "$(cat "$tree/../stamp")" ] && return
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  timeout 120 "$loader" wineboot -i >/dev/null 2>&1
  timeout 120 "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1
  timeout 60 "$tree/usr/lib/wine/wineserver" -w
  cat "$tree/../stamp" >"$work/prefix.stamp"
}
