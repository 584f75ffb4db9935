#!/usr/bin/env bash
# Installs everything the builds and tests need on Debian 12 (bookworm), with apt only.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive

# wine32 needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi

# miniaudio is packaged from trixie on. Take trixie from the mirror this machine already
# uses, pinned low so that nothing else is taken from it.
mirror=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  mirror=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' \
    /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
  mirror=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
    /etc/apt/sources.list)
fi
if [ -z "$mirror" ]; then
  echo "setup: no Debian mirror found in the apt configuration" >&2
  exit 1
fi
if [ ! -f /etc/apt/sources.list.d/trixie-miniaudio.list ]; then
  echo "deb $mirror trixie main" | $SUDO tee /etc/apt/sources.list.d/trixie-miniaudio.list >/dev/null
fi
# The Wine playback tests build Wine's ALSA driver from the source package of the installed Wine:
# bookworm's source index, from the same mirror.
sources_added=no
if [ ! -f /etc/apt/sources.list.d/vantrel-wine-source.list ]; then
  # apt refuses one source named with and without a key: take the key as the mirror's entry does.
  options=""
  if grep -qs '^Signed-By: */usr/share/keyrings/debian-archive-keyring.gpg' /etc/apt/sources.list.d/debian.sources; then
    options="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
  fi
  echo "deb-src $options$mirror bookworm main" |
    $SUDO tee /etc/apt/sources.list.d/vantrel-wine-source.list >/dev/null
  sources_added=yes
fi
$SUDO tee /etc/apt/preferences.d/trixie-miniaudio >/dev/null <<'PIN'
Package: *
Pin: release n=trixie
Pin-Priority: 50

Package: libminiaudio-dev
Pin: release n=trixie
Pin-Priority: 500
PIN

packages=(
  cmake g++ make ccache file binutils
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64
  wine wine64
  libminiaudio-dev
  # asioconfig.exe's Wine test: a virtual X server and a screenshot of it
  xvfb imagemagick
  # setup.exe: makensis builds the Windows installer.
  nsis
  # The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
  clang libclang-rt-14-dev
  # The Wine playback tests' build of Wine's ALSA driver (both bitnesses).
  dpkg-dev autoconf autotools-dev bison flex gcc-multilib libasound2-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
for p in wine32:i386 libasound2-dev:i386; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ "$sources_added" == yes ]; then
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
echo "setup: all build and test dependencies are installed"
