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

echo "=== dist/"
bash packaging/stage.sh build/win32 build/win64 dist
version=$(cat build/win64/version.txt)
bash packaging/make_setup.sh dist "$version" "dist/vantrel-setup-$version.exe"
(cd dist && find . -type f | sort | sed 's/^\.\//  /')
file dist/x86/* dist/x64/* dist/*.exe | sed 's/^/  /'

export VANTREL_WINEPREFIX="$PWD/build/wine-package"
# setup.exe installs and registers both drivers; a host of each bitness then lists the driver and
# loads it by name, and the uninstaller takes it all away again.
echo "=== Wine: setup.exe, the drivers loaded as a host sees them, the uninstaller"
scripts/wine-run.sh build/win64/tools/asioprobe.exe >/dev/null  # creates the prefix
name=$(sed -n 3p packaging/asio.dll.ini | tr -d '\r')
wine_quiet() { WINEPREFIX=$VANTREL_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= timeout 300 wine "$@"; }
install="$VANTREL_WINEPREFIX/drive_c/Program Files/Vantrel"
set +e
wine_quiet "dist/vantrel-setup-$version.exe" /S
echo "  setup.exe /S: exit status $?"
set -e
iconv -f UTF-16 -t UTF-8 "$install/setup.log" | tr -d '\r' | sed 's/^/  setup.log: /'
for arch in x86 x64; do
  echo "--- $arch: asioprobe \"$name\" --run 200"
  scripts/wine-run.sh "$install/$arch/asioprobe.exe" "$name" --run 200 | tr -d '\r' || echo "  asioprobe ($arch) failed with $?"
done
set +e
wine_quiet "$install/uninstall.exe" /S
echo "  uninstall.exe /S: exit status $?"
set -e
WINEPREFIX=$VANTREL_WINEPREFIX timeout 120 wineserver -w || true
[ -e "$install" ] && echo "  left behind: $install" || echo "  the install folder is gone"
# Each registered asio.dll heard at every rate the DAC takes: short runs through a test build of
# Wine's ALSA driver whose device is a file, compared with what the host wrote, from an endpoint at
# float 48000 Hz that the driver switches through the tests' policy-configuration object.
echo "=== Wine: each asio.dll played into a captured device (a test build of Wine's ALSA driver)"
for arch in x86 x64; do
  preset=$([ $arch == x86 ] && echo win32 || echo win64)
  bash tests/wine/audio/rate_scenario.sh "dist/$arch/asio.dll" "dist/$arch/asioprobe.exe" dist/$arch/asio.dll.ini \
    "build/$preset/tests/policyconfig.dll" "build/$preset/tests/playback" summary || echo "  $arch: the playback run failed"
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
