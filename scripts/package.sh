#!/usr/bin/env bash
# The main job: sets the machine up, builds the Windows deliverables (win32 and win64), lays
# the driver package out in dist/, and runs under Wine what can run, saying what it did.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in win32 win64; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

rm -rf dist
mkdir -p dist/x86 dist/x64
copy() {  # copy FILE DEST, stripped of debug information
  local file=$1 dest=$2 strip=$3
  cp "$file" "$dest"
  "$strip" --strip-debug "$dest/$(basename "$file")"
  echo "  $dest/$(basename "$file")"
}
echo "=== dist/"
copy build/win32/asio/asio.dll dist/x86 i686-w64-mingw32-strip
copy build/win64/asio/asio.dll dist/x64 x86_64-w64-mingw32-strip
for extra in build/win64/cleaner/devpurge.exe build/win64/filter/usbmodeflt.sys; do
  [ -f "$extra" ] && copy "$extra" dist/x64 x86_64-w64-mingw32-strip
done
# The INF as the build configured it, with DriverVer from the project version.
cp build/win64/filter/usbmodeflt.inf dist/x64/ && echo "  dist/x64/usbmodeflt.inf"
# One 32-bit settings program serves both folders: the settings key is per user and shared.
copy build/win32/config/asioconfig.exe dist/x86 i686-w64-mingw32-strip
copy build/win32/config/asioconfig.exe dist/x64 i686-w64-mingw32-strip
cp packaging/asio.dll.ini dist/x86/asio.dll.ini
cp packaging/asio.dll.ini dist/x64/asio.dll.ini
echo "  dist/x86/asio.dll.ini, dist/x64/asio.dll.ini (identity files)"
file dist/x86/* dist/x64/* | sed 's/^/  /'

export VANTREL_WINEPREFIX="$PWD/build/wine-package"
# Both drivers registered from an install folder in the prefix, each by the regsvr32 of its
# bitness (the x86 one under WOW64), then listed and loaded by name by a host of that bitness.
echo "=== Wine: the drivers registered and loaded as a host sees them"
scripts/wine-run.sh build/win64/tools/asioprobe.exe >/dev/null  # creates the prefix
name=$(sed -n 3p packaging/asio.dll.ini | tr -d '\r')
for arch in x86 x64; do
  preset=win32 regsvr32='C:\windows\syswow64\regsvr32.exe'
  [ "$arch" = x64 ] && preset=win64 regsvr32='C:\windows\system32\regsvr32.exe'
  install="$VANTREL_WINEPREFIX/drive_c/Program Files/Vantrel/$arch"
  mkdir -p "$install"
  cp "dist/$arch/asio.dll" "dist/$arch/asio.dll.ini" "build/$preset/tools/asioprobe.exe" "$install/"
  echo "--- $arch: regsvr32 \"C:\\Program Files\\Vantrel\\$arch\\asio.dll\""
  WINEPREFIX=$VANTREL_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine "$regsvr32" /s "C:\\Program Files\\Vantrel\\$arch\\asio.dll" &&
    echo "  registered" || echo "  regsvr32 failed with $?"
  scripts/wine-run.sh "$install/asioprobe.exe" "$name" --run 200 | tr -d '\r' || echo "  asioprobe ($arch) failed with $?"
done
if [ -f dist/x64/devpurge.exe ]; then
  echo "=== Wine: devpurge.exe (a Wine prefix has no pnputil.exe, so the package stage ends the run with -30)"
  rm -rf "$VANTREL_WINEPREFIX/drive_c/devpurge-demo"
  set +e
  scripts/wine-run.sh dist/x64/devpurge.exe --log 'C:\devpurge-demo\devpurge.log'
  code=$?
  set -e
  echo "  exit status $code (the low byte of the exit code: -30 reads as 226)"
  sed 's/^/  /' "$VANTREL_WINEPREFIX/drive_c/devpurge-demo/devpurge.log" | tr -d '\r'
fi
echo "package: done; the driver package is in dist/"
