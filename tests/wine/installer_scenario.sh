#!/usr/bin/env bash
# setup.exe under Wine, in a 64-bit prefix of its own made afresh: a silent install into a folder
# whose name has a space and a non-ASCII letter (no pnputil.exe on the system), the files, both
# registrations in their views and each bitness's host loading the driver by name, the
# installed-apps entry and the Start-menu entries; then a newer setup.exe over it while a host
# holds the x64 asio.dll, with a pnputil that adds the filter package but fails to install it, and
# a restart; then the silent uninstaller. Every Wine program runs under a timeout.
#   installer_scenario.sh WIN32_BUILD WIN64_BUILD VERSION FAKE_PNPUTIL HOLD_MODULE WORKDIR
set -uo pipefail
win32=$1 win64=$2 version=$3 fake_pnputil=$4 hold_module=$5 work=$6
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
identity=$source_dir/packaging/asio.dll.ini

# Unix arguments reach Windows programs as UTF-16 through the locale's character set.
export LC_ALL=C.UTF-8
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
export ALSA_CONFIG_PATH=$source_dir/scripts/wine-asound.conf
# The fake pnputil reads its answers from here and records every command line beside it.
export FAKE_PNPUTIL_SCRIPT='C:\pnputil\answers.txt'

source "$here/checks.sh"
fail() { echo "installer scenario: $*"; exit 1; }
w() { timeout 120 wine "$@"; }

# Registry reads go through regedit's export, which is UTF-16 whatever the console's code page.
# value VIEW KEY NAME (empty NAME: the default value) -> the data as exported, or <absent>
export_key() {  # export_key VIEW KEY -> the key's own lines of the export, UTF-8
  local file="$WINEPREFIX/drive_c/export.reg"
  rm -f "$file"
  w reg export "$2" 'C:\export.reg' "/reg:$1" /y >/dev/null 2>&1 || return 1
  iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | awk 'NR > 1 && /^\[/ { if (seen) exit } /^\[/ { seen = 1 } { print }'
}
value() {
  local out pattern="\"$3\"="
  [ -z "$3" ] && pattern="@="
  out=$(export_key "$1" "$2") || { echo "<absent>"; return; }
  out=$(echo "$out" | grep -F -- "$pattern" | head -n 1)
  [ -z "$out" ] && { echo "<absent>"; return; }
  out=${out#*=}
  case $out in
    \"*) out=${out#\"}; out=${out%\"}; out=$(echo "$out" | sed 's/\\\(.\)/\1/g') ;;
    dword:*) out=$((16#${out#dword:})) ;;
  esac
  echo "$out"
}
exists() {  # exists VIEW KEY -> yes/no
  if w reg query "$2" "/reg:$1" >/dev/null 2>&1; then echo yes; else echo no; fi
}
subkeys() {  # subkeys VIEW KEY -> how many keys lie directly below KEY
  w reg query "$2" "/reg:$1" 2>/dev/null | tr -d '\r' | grep -c '^HKEY_'
}

clsid=$(sed -n 1p "$identity" | tr -d '\r')
name=$(sed -n 3p "$identity" | tr -d '\r')
class_key="HKCR\\CLSID\\$clsid"
driver_key="HKLM\\SOFTWARE\\ASIO\\$name"
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel'
settings='HKCU\Software\halvane103\ASIO'
next=${version%.*}.$((${version##*.} + 1))

echo "== setup.exe $version and $next"
bash "$source_dir/packaging/stage.sh" "$win32" "$win64" "$work/stage" || fail "staging failed"
for v in "$version" "$next"; do
  bash "$source_dir/packaging/make_setup.sh" "$work/stage" "$v" "$work/vantrel-setup-$v.exe" || fail "makensis failed"
done
# One whose x64 asio.dll no regsvr32 can load.
rm -rf "$work/stage-broken"
cp -r "$work/stage" "$work/stage-broken"
head -c 4096 /dev/urandom >"$work/stage-broken/x64/asio.dll"
bash "$source_dir/packaging/make_setup.sh" "$work/stage-broken" "$version" "$work/vantrel-setup-broken.exe" ||
  fail "makensis failed"

echo "== one version on everything"
# resource FILE NAME -> the value of NAME in FILE's version strings (UTF-16 key, then its value)
resource() { strings -el "$1" | grep -x -A1 -- "$2" | sed -n 2p; }
for f in x86/asio.dll x86/asioconfig.exe x86/asioprobe.exe x64/asio.dll x64/asioprobe.exe \
  x64/devpurge.exe x64/usbmodeflt.sys; do
  stamped=$(for key in FileVersion ProductVersion CompanyName ProductName; do
    printf '%s;' "$(resource "$work/stage/$f" $key)"; done)
  check "$f version resource" "$version.0;$version;Vantrel;Vantrel driver package;" "$stamped"
done
check "setup.exe version resource" "$version.0" "$(resource "$work/vantrel-setup-$version.exe" FileVersion)"
check "the INF's DriverVer" "$version.0" \
  "$(sed -n 's/^DriverVer *= *[0-9\/]*,\([0-9.]*\).*/\1/p' "$work/stage/x64/usbmodeflt.inf" | tr -d '\r')"

echo "== a new 64-bit prefix"
timeout 60 wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
timeout 120 wineboot -i >/dev/null 2>&1
timeout 60 wineserver -w
[ -d "$WINEPREFIX/drive_c/windows/syswow64" ] || fail "the prefix is not a 64-bit one"
# A setting the user made, which the uninstaller must leave alone.
w reg add "$settings" /v samples /t REG_DWORD /d 512 /f >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/pnputil"

folder='C:\Program Files\Vantrel ü'
folder_lower='c:\program files\vantrel ü'
unix_folder="$WINEPREFIX/drive_c/Program Files/Vantrel ü"
start_menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Vantrel"
files=(README.md uninstall.exe setup.log x86/asio.dll x86/asio.dll.ini x86/asioconfig.exe x86/asioprobe.exe
  x64/asio.dll x64/asio.dll.ini x64/asioconfig.exe x64/asioprobe.exe x64/devpurge.exe
  x64/usbmodeflt.sys x64/usbmodeflt.inf)
log() { iconv -f UTF-16 -t UTF-8 "$unix_folder/setup.log" 2>/dev/null | tr -d '\r'; }
has_line() { if grep -qF -- "$2" <<<"$1"; then echo yes; else echo no; fi; }

registered() {  # the checks of one installation's two registrations
  local bits arch
  for bits in 32 64; do
    arch=x86
    [ $bits = 64 ] && arch=x64
    check "class key InprocServer32 ($bits-bit view)" "$folder_lower\\$arch\\asio.dll" \
      "$(value $bits "$class_key\\InprocServer32" "")"
    check "driver key CLSID ($bits-bit view)" "$clsid" "$(value $bits "$driver_key" CLSID)"
    check "one driver under the ASIO key ($bits-bit view)" 1 "$(subkeys $bits 'HKLM\SOFTWARE\ASIO')"
    local out
    out=$(timeout 60 wine "$unix_folder/$arch/asioprobe.exe" "$name" | tr -d '\r')
    check "$bits-bit host: listed from the install folder" yes "$(has_line "$out" "\\$arch\\asio.dll")"
    check "$bits-bit host: loaded by its name through COM" yes "$(has_line "$out" 'name: Pelkor ASIO 1.10, version 2')"
  done
}

echo "== silent install of $version into \"$folder\", no pnputil.exe on the system"
# /D= takes the rest of the command line unquoted, spaces and all, which only a command line
# given whole (through cmd) can carry.
mkdir -p "$WINEPREFIX/drive_c/setup"
cp "$work/vantrel-setup-$version.exe" "$work/vantrel-setup-$next.exe" "$work/vantrel-setup-broken.exe" \
  "$WINEPREFIX/drive_c/setup/"
w cmd /c "C:\setup\vantrel-setup-$version.exe /S /D=$folder"
check "setup.exe exit code" 0 "$?"
missing=0
for f in "${files[@]}"; do [ -f "$unix_folder/$f" ] || { echo "  missing: $f"; missing=$((missing + 1)); }; done
check "every file installed" 0 "$missing"
registered
check "entry DisplayName" "Vantrel driver package" "$(value 64 "$entry" DisplayName)"
check "entry DisplayVersion" "$version" "$(value 64 "$entry" DisplayVersion)"
check "entry Publisher" "Vantrel" "$(value 64 "$entry" Publisher)"
check "entry InstallLocation" "$folder" "$(value 64 "$entry" InstallLocation)"
check "entry UninstallString" "\"$folder\\uninstall.exe\"" "$(value 64 "$entry" UninstallString)"
check "entry QuietUninstallString" "\"$folder\\uninstall.exe\" /S" "$(value 64 "$entry" QuietUninstallString)"
check "entry DisplayIcon" "$folder\\uninstall.exe,0" "$(value 64 "$entry" DisplayIcon)"
size=$(value 64 "$entry" EstimatedSize)
check "entry EstimatedSize in KiB" yes "$([[ $size =~ ^[0-9]+$ ]] && [ "$size" -gt 100 ] && echo yes || echo no)"
check "no entry in the 32-bit view" no "$(exists 32 "$entry")"
check "Start-menu entries" 4 "$(ls "$start_menu" 2>/dev/null | grep -c '\.lnk$')"
check "the log says pnputil is missing" yes "$(has_line "$(log)" 'no pnputil.exe; the filter package was not installed')"

echo "== silent install of $next over it (no /D=) while a host has the x64 asio.dll loaded;"
echo "   pnputil adds the filter package but installs it nowhere"
rm -f "$work/hold.out"
timeout 120 wine "$hold_module" "$folder\x64\asio.dll" 60000 >"$work/hold.out" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q loaded "$work/hold.out" 2>/dev/null && break; sleep 0.2; done
check "the host holds asio.dll" loaded "$(tr -d '\r' <"$work/hold.out")"
cp "$fake_pnputil" "$WINEPREFIX/drive_c/windows/system32/pnputil.exe"
printf '%s\n' "command	*" \
  'out	Microsoft PnP Utility\r\n\r\nAdding driver package:  usbmodeflt.inf\r\nDriver package added successfully.\r\nPublished Name:         oem7.inf\r\nFailed to install the driver on any devices on the system : No more data is available.\r\n' \
  'exit	259' >"$WINEPREFIX/drive_c/pnputil/answers.txt"
w "$WINEPREFIX/drive_c/setup/vantrel-setup-$next.exe" /S
check "setup.exe exit code: 3010, restart needed (its low byte)" 194 "$?"
check "the log names the file in use" yes \
  "$(has_line "$(log)" "in use, replaced at the next restart: $folder\x64\asio.dll")"
check "the new file waits beside it" yes "$([ -f "$unix_folder/x64/asio.dll.new" ] && echo yes || echo no)"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
timeout 60 wineserver -k 2>/dev/null
timeout 120 wineboot -r >/dev/null 2>&1
timeout 60 wineserver -w
check "the restart put it in place" no "$([ -e "$unix_folder/x64/asio.dll.new" ] && echo yes || echo no)"
registered
check "entry DisplayVersion" "$next" "$(value 64 "$entry" DisplayVersion)"
check "entry InstallLocation kept" "$folder" "$(value 64 "$entry" InstallLocation)"
check "nothing in the default folder" no "$([ -e "$WINEPREFIX/drive_c/Program Files/Vantrel" ] && echo yes || echo no)"
calls=$(tr -d '\r' <"$WINEPREFIX/drive_c/pnputil/answers.txt.calls" 2>/dev/null)
check "pnputil given the INF" yes "$(has_line "$calls" "/add-driver \"$folder\\x64\\usbmodeflt.inf\" /install")"
check "its published name kept" oem7.inf "$(value 64 "$entry" FilterPackage)"
check "the log reports the failure" yes "$(has_line "$(log)" 'pnputil /add-driver usbmodeflt.inf /install: 259')"

echo "== silent uninstall"
quiet=$(value 64 "$entry" QuietUninstallString)
[ "$quiet" = "\"$folder\\uninstall.exe\" /S" ] || fail "no quiet uninstall command to run"
w "$unix_folder/uninstall.exe" /S
check "uninstall.exe exit code" 0 "$?"
# The uninstaller runs from a copy of itself in the temporary folder; wait for it.
timeout 120 wineserver -w
check "install folder gone" no "$([ -e "$unix_folder" ] && echo yes || echo no)"
check "Start-menu folder gone" no "$([ -e "$start_menu" ] && echo yes || echo no)"
for bits in 32 64; do
  check "class key gone ($bits-bit view)" no "$(exists $bits "$class_key")"
  check "driver key gone ($bits-bit view)" no "$(exists $bits "$driver_key")"
done
check "entry gone" no "$(exists 64 "$entry")"
calls=$(tr -d '\r' <"$WINEPREFIX/drive_c/pnputil/answers.txt.calls")
check "its filter package deleted" yes "$(has_line "$calls" '/delete-driver oem7.inf /uninstall')"
check "the settings key stays" 512 "$(value 64 "$settings" samples)"

echo "== a setup.exe whose x64 asio.dll cannot be registered"
w cmd /c 'C:\setup\vantrel-setup-broken.exe /S /D=C:\broken'
check "setup.exe exit code" 2 "$?"
check "the log says which registration failed" yes "$(has_line "$(iconv -f UTF-16 -t UTF-8 \
  "$WINEPREFIX/drive_c/broken/setup.log" | tr -d '\r')" 'FAILED: the 64-bit driver could not be registered')"

timeout 60 wineserver -k 2>/dev/null
if [ $failures -gt 0 ]; then
  echo "installer scenario: $failures check(s) failed"
  exit 1
fi
echo "installer scenario: every check passed"
