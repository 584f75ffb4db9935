#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix (one per build tree), so that
# tests never touch the user's ~/.wine. The prefix is created on first use.
set -euo pipefail
exe=$1
shift
dir=$(cd "$(dirname "$exe")" && pwd)
# The prefix lives at the top of the build tree that holds the program.
root=$dir
while [ "$root" != "/" ] && [ ! -f "$root/CMakeCache.txt" ]; do
  root=$(dirname "$root")
done
[ "$root" = "/" ] && root=$dir
export WINEPREFIX=${VANTREL_WINEPREFIX:-$root/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# One silent ALSA playback device, so that Wine lists a device even without a sound card.
export ALSA_CONFIG_PATH=${ALSA_CONFIG_PATH:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine-asound.conf}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
exec wine "$exe" "$@"
