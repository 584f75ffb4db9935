#!/usr/bin/env bash
# Builds setup.exe with makensis from a folder laid out by stage.sh.
#   make_setup.sh STAGE VERSION OUTPUT_EXE
set -euo pipefail
stage=$(cd "$1" && pwd) version=$2 output=$3
here=$(cd "$(dirname "$0")" && pwd)
name=$(sed -n 3p "$stage/x86/asio.dll.ini" | tr -d '\r')
mkdir -p "$(dirname "$output")"
makensis -V2 -WX -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$(cd "$(dirname "$output")" && pwd)/$(basename "$output")" \
  -DDRIVER_NAME="$name" "$here/setup.nsi"
