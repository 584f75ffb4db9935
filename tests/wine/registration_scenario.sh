#!/usr/bin/env bash
# Registers one build of asio.dll under Wine with the system's regsvr32 of its bitness, checks the
# keys in both registry views, has the project's host find and load the driver by name, and goes
# through registering again from the same folder, from another folder, and unregistering.
# The prefix is 64-bit, so the 32-bit build is the WOW64 case.
#   registration_scenario.sh ASIO_DLL ASIOPROBE_EXE IDENTITY_FILE WINEPREFIX
set -uo pipefail
dll=$1 probe=$2 identity=$3
export VANTREL_WINEPREFIX=$4 WINEPREFIX=$4
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
here=$(cd "$(dirname "$0")" && pwd)

if i686-w64-mingw32-objdump -f "$dll" 2>/dev/null | grep -q 'pei-i386'; then
  bits=32 other=64 regsvr32='C:\windows\syswow64\regsvr32.exe'
else
  bits=64 other=32 regsvr32='C:\windows\system32\regsvr32.exe'
fi
clsid=$(sed -n 1p "$identity" | tr -d '\r')
name=$(sed -n 3p "$identity" | tr -d '\r')
description=$(sed -n 4p "$identity" | tr -d '\r')
class_key="HKCR\\CLSID\\$clsid"
driver_key="HKLM\\SOFTWARE\\ASIO\\$name"

source "$here/checks.sh"

# value VIEW KEY NAME (empty NAME: the default value) -> the REG_SZ data, or <absent>
value() {
  local args=(/v "$3")
  [ -z "$3" ] && args=(/ve)
  local out
  out=$(wine reg query "$2" "${args[@]}" "/reg:$1" 2>/dev/null | tr -d '\r') || { echo "<absent>"; return; }
  echo "$out" | sed -n 's/^    .*    REG_SZ    //p' | head -n 1
}
exists() {  # exists VIEW KEY -> yes/no
  if wine reg query "$2" "/reg:$1" >/dev/null 2>&1; then echo yes; else echo no; fi
}
regsvr() { wine "$regsvr32" /s "$@"; echo $?; }

# Two install folders inside the prefix; everything this scenario wrote before goes first.
# The first start creates the prefix.
"$here/../../scripts/wine-run.sh" "$probe" >/dev/null
root="$WINEPREFIX/drive_c/vantrel-scenario"
for view in 32 64; do
  wine reg delete "$class_key" /f "/reg:$view" >/dev/null 2>&1
  wine reg delete "$driver_key" /f "/reg:$view" >/dev/null 2>&1
done
rm -rf "$root"
mkdir -p "$root/a" "$root/b"
for folder in a b; do
  cp "$dll" "$root/$folder/asio.dll"
  cp "$identity" "$root/$folder/asio.dll.ini"
  cp "$probe" "$root/$folder/asioprobe.exe"
done
path_a='c:\vantrel-scenario\a\asio.dll'
path_b='c:\vantrel-scenario\b\asio.dll'

echo "== $bits-bit asio.dll: regsvr32 in a 64-bit prefix"
check "regsvr32 exit code" 0 "$(regsvr 'C:\vantrel-scenario\a\asio.dll')"
check "class key description ($bits-bit view)" "$description" "$(value $bits "$class_key" "")"
check "InprocServer32 ($bits-bit view)" "$path_a" "$(value $bits "$class_key\\InprocServer32" "")"
check "ThreadingModel" "Apartment" "$(value $bits "$class_key\\InprocServer32" ThreadingModel)"
check "driver key CLSID" "$clsid" "$(value $bits "$driver_key" CLSID)"
check "driver key Description" "$description" "$(value $bits "$driver_key" Description)"
check "no class key in the $other-bit view" no "$(exists $other "$class_key")"
check "no driver key in the $other-bit view" no "$(exists $other "$driver_key")"
check "no doubled Wow6432Node under HKLM\\SOFTWARE" no "$(exists 64 'HKLM\SOFTWARE\Wow6432Node\Wow6432Node')"
check "no doubled Wow6432Node under HKCR" no "$(exists 64 'HKCR\Wow6432Node\Wow6432Node')"

echo "== the $bits-bit host finds and loads it by name"
out=$(wine "$root/a/asioprobe.exe" "$name" --run 200 | tr -d '\r')
echo "$out" | sed 's/^/  | /'
# A here-string rather than a pipe: grep -q stops reading at the first match, and under pipefail
# the writer's broken pipe would turn a match into "no".
has() { if grep -qF -- "$1" <<<"$out"; then echo yes; else echo no; fi; }
check "listed with its path" yes "$(has "InprocServer32: $path_a")"
check "loaded through COM" yes "$(has 'name: Pelkor ASIO 1.10, version 2')"
check "channels" yes "$(has 'channels: 0 in, 2 out (ASE_OK)')"
check "buffer size" yes "$(has 'buffer size: min 220, max 220, preferred 220, granularity 0 (ASE_OK)')"
check "clock source" yes "$(has '0: "Internal", current')"
check "channel 1" yes "$(has 'output 1: " channel 1", sample type 18')"
check "stream run or refused, with the reason" yes \
  "$(grep -qE '^    (createBuffers.* refused: |start refused: |ran [0-9]+ ms: )' <<<"$out" && echo yes || echo no)"
check "last Release" yes "$(has 'Release: 0 references left')"
check "DllCanUnloadNow after release" yes "$(has 'DllCanUnloadNow: S_OK')"

echo "== registering again from the same folder, with a new description"
sed -i '4s/.*/Vantrel USB DAC (second)\r/' "$root/a/asio.dll.ini"
check "regsvr32 exit code" 0 "$(regsvr 'C:\VANTREL-SCENARIO\A\ASIO.DLL')"
check "class key kept its description" "$description" "$(value $bits "$class_key" "")"
check "driver key has the new one" "Vantrel USB DAC (second)" "$(value $bits "$driver_key" Description)"

echo "== registering from another folder"
wine reg add "$class_key\\AddedByOthers" /f "/reg:$bits" >/dev/null 2>&1
check "regsvr32 exit code" 0 "$(regsvr 'C:\vantrel-scenario\b\asio.dll')"
check "InprocServer32 names the new folder" "$path_b" "$(value $bits "$class_key\\InprocServer32" "")"
check "class tree written anew" no "$(exists $bits "$class_key\\AddedByOthers")"
out=$(wine "$root/b/asioprobe.exe" "$name" | tr -d '\r')
check "the host loads it from there" yes "$(has "InprocServer32: $path_b")"
check "and gets its answers" yes "$(has 'name: Pelkor ASIO 1.10, version 2')"

echo "== regsvr32 /u"
check "regsvr32 /u exit code" 0 "$(regsvr /u 'C:\vantrel-scenario\b\asio.dll')"
check "class key tree gone" no "$(exists $bits "$class_key")"
check "driver key gone" no "$(exists $bits "$driver_key")"
check "ASIO key stays" yes "$(exists $bits 'HKLM\SOFTWARE\ASIO')"
out=$(wine "$root/b/asioprobe.exe" "$name" | tr -d '\r')
check "the host no longer finds it" yes "$(has "no driver named \"$name\"")"

rm -rf "$root"
if [ $failures -gt 0 ]; then
  echo "registration scenario ($bits-bit): $failures check(s) failed"
  exit 1
fi
echo "registration scenario ($bits-bit): every check passed"
