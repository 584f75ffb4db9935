#!/usr/bin/env bash
# Lays the driver package out from the two cross build trees, stripped of debug information:
#   DEST/x86: asio.dll, asio.dll.ini, asioconfig.exe, asioprobe.exe
#   DEST/x64: the same for 64-bit hosts, devpurge.exe, usbmodeflt.sys, usbmodeflt.inf
#   DEST/README.md
# setup.nsi takes its files from this layout.
#   stage.sh WIN32_BUILD WIN64_BUILD DEST
set -euo pipefail
win32=$1 win64=$2 dest=$3
source=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$dest"
mkdir -p "$dest/x86" "$dest/x64"
put() {  # put FILE DIR STRIP
  if [ ! -f "$1" ]; then
    echo "stage: $1 is missing (build the win32 and win64 presets first)" >&2
    exit 1
  fi
  cp "$1" "$2/"
  "$3" --strip-debug "$2/$(basename "$1")"
}
put "$win32/asio/asio.dll" "$dest/x86" i686-w64-mingw32-strip
put "$win32/tools/asioprobe.exe" "$dest/x86" i686-w64-mingw32-strip
put "$win64/asio/asio.dll" "$dest/x64" x86_64-w64-mingw32-strip
put "$win64/tools/asioprobe.exe" "$dest/x64" x86_64-w64-mingw32-strip
put "$win64/cleaner/devpurge.exe" "$dest/x64" x86_64-w64-mingw32-strip
put "$win64/filter/usbmodeflt.sys" "$dest/x64" x86_64-w64-mingw32-strip
# One 32-bit settings program serves both folders: the settings key is per user and shared, and
# the driver starts the asioconfig.exe beside itself.
put "$win32/config/asioconfig.exe" "$dest/x86" i686-w64-mingw32-strip
put "$win32/config/asioconfig.exe" "$dest/x64" i686-w64-mingw32-strip
cp "$win64/filter/usbmodeflt.inf" "$dest/x64/"
cp "$source/packaging/asio.dll.ini" "$dest/x86/"
cp "$source/packaging/asio.dll.ini" "$dest/x64/"
cp "$source/README.md" "$dest/"
