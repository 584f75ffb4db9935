#!/usr/bin/env bash
# Builds a test-only copy of Wine's ALSA audio driver that plays exclusive event-driven streams
# (winealsa-exclusive-event.patch beside this script) from Debian's source package of the installed
# Wine, and lays out a private Wine library tree that uses it. Prints the tree's directory.
#
# The work is done once per machine and cached in $VANTREL_WINE_ALSA_CACHE (default:
# build/wine-alsa in the repository); a stamp (Wine version, patch and script) makes a warm run a
# no-op. The system's Wine is never changed: the tree is made of symbolic links to it, with real
# copies of each bitness's loader, ntdll.so (whose own path decides where Wine loads DLLs from) and
# the patched driver. Run programs through <tree>/usr/lib/wine/wine64 (64-bit) or .../wine (32-bit).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../../.." && pwd)
cache=${VANTREL_WINE_ALSA_CACHE:-$repo/build/wine-alsa}
patch_file=$here/winealsa-exclusive-event.patch
log=$cache/build.log

fail() {
  echo "build_winealsa: cannot provide the test audio driver: $*" >&2
  exit 1
}

version=$(dpkg-query -W -f='${Version}' wine 2>/dev/null) || fail "Wine is not installed (run scripts/setup.sh)"
stamp="wine $version; $(cat "$patch_file" "${BASH_SOURCE[0]}" | sha256sum | cut -c1-16)"
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9  # the win32 and win64 tests may ask at once: one builds, the other waits and reuses
tree=$cache/tree
if [ "$(cat "$cache/stamp" 2>/dev/null)" == "$stamp" ] && [ -x "$tree/usr/lib/wine/wine64" ]; then
  echo "$tree"
  exit 0
fi

for tool in apt-get dpkg-source autoreconf bison flex make gcc x86_64-w64-mingw32-gcc i686-w64-mingw32-gcc; do
  command -v "$tool" >/dev/null || fail "$tool is missing (run scripts/setup.sh)"
done
[ -f /usr/include/alsa/asoundlib.h ] && [ -e /usr/lib/i386-linux-gnu/libasound.so ] &&
  [ -e /usr/lib/x86_64-linux-gnu/libasound.so ] || fail "libasound2-dev (amd64 and i386) is missing (run scripts/setup.sh)"
[ -f /usr/share/misc/config.guess ] || fail "autotools-dev is missing (run scripts/setup.sh)"
for lib in x86_64-linux-gnu/wine/x86_64-unix i386-linux-gnu/wine/i386-unix; do
  [ -f "/usr/lib/$lib/ntdll.so" ] || fail "/usr/lib/$lib/ntdll.so is missing: wine64 and wine32:i386 are both needed"
done

echo "build_winealsa: building Wine $version's ALSA driver with the test patch (once; log: $log)" >&2
rm -rf "$cache/src" "$cache/b32" "$cache/b64" "$tree" "$cache/stamp"
mkdir -p "$cache/src"
: >"$log"
step() {  # step WHAT COMMAND...: runs COMMAND into the log, failing with WHAT
  local what=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 15 "$log" | sed 's/^/  | /' >&2
    fail "$what failed (full log: $log)"
  fi
}

cd "$cache/src"
step "downloading the source package wine=$version (needs a deb-src line for the Debian release, which scripts/setup.sh adds)" \
  apt-get source --download-only "wine=$version"
step "unpacking the source package" dpkg-source -x wine_*.dsc wine
cd wine
step "applying $patch_file" patch -p1 -i "$patch_file"

# Debian's repack drops generated files; make what the driver's build needs as debian/rules does,
# and stand empty files in for the generated sources of modules that are not built here.
ln -sf /usr/share/misc/config.sub /usr/share/misc/config.guess tools/
step "regenerating configure" autoreconf -f
step "generating the server protocol" bash -c \
  './debian/scripts/generate server/trace.generated make_requests &&
   ./debian/scripts/generate server/request.generated make_requests && ./tools/make_requests'
grep -P '^\tln -sf \.\./\.\./' debian/rules | sed 's/^\t//' | bash
{
  sed -n '/^Files-Excluded:/,/^[A-Z]/s/^ \([a-z][^*]*\)$/\1/p' debian/copyright
  echo include/wine/vulkan.h include/wine/vulkan_driver.h include/wine/wgl.h include/wine/wgl_driver.h | tr ' ' '\n'
} | while read -r file; do
  [ -e "$file" ] || { mkdir -p "$(dirname "$file")" && : >"$file"; }
done
grep -o '[a-z_0-9]*\.nls' nls/Makefile.in | sort -u | while read -r file; do
  [ -e "nls/$file" ] || : >"nls/$file"
done

without=(x freetype gnutls pulse gstreamer cups dbus sane oss vulkan opencl usb v4l2 sdl capi gphoto krb5
  netapi pcap udev unwind opengl osmesa inotify xcomposite xcursor xfixes xinerama xinput xinput2 xrandr
  xrender xshape xshm xxf86vm fontconfig)
for bits in 64 32; do
  if [ "$bits" == 64 ]; then unix=x86_64-linux-gnu/wine/x86_64-unix win64=--enable-win64; else unix=i386-linux-gnu/wine/i386-unix win64=; fi
  mkdir -p "$cache/b$bits/dlls/ntdll"
  cd "$cache/b$bits"
  step "configuring the $bits-bit build" ../src/wine/configure $win64 --with-alsa --with-mingw --disable-tests \
    "${without[@]/#/--without-}"
  grep -q '^ALSA_LIBS *= *-lasound' Makefile || fail "the $bits-bit configure found no ALSA (libasound2-dev for that architecture)"
  # The unix library links against ntdll.so: take the installed one rather than build ntdll.
  cp "/usr/lib/$unix/ntdll.so" dlls/ntdll/ntdll.so
  step "building the $bits-bit driver" make -j2 -o dlls/ntdll/ntdll.so dlls/winealsa.drv/all
done

# The private tree, laid out as Debian installs Wine so that the loaders' relative paths hold.
mkdir -p "$tree/usr/lib/wine" "$tree/usr/share"
ln -s /usr/share/wine "$tree/usr/share/wine"
for file in /usr/lib/wine/*; do
  case $(basename "$file") in
    wine | wine64) cp "$file" "$tree/usr/lib/wine/" ;;
    *) ln -s "$file" "$tree/usr/lib/wine/" ;;
  esac
done
for arch in x86_64-linux-gnu i386-linux-gnu; do
  (cd "/usr/lib/$arch/wine" && find . -mindepth 1 -type d -printf "%P\n") | while read -r dir; do mkdir -p "$tree/usr/lib/$arch/wine/$dir"; done
  (cd "/usr/lib/$arch/wine" && find . ! -type d -printf "%P\n") | while read -r file; do ln -s "/usr/lib/$arch/wine/$file" "$tree/usr/lib/$arch/wine/$file"; done
done
put() { rm -f "$2" && cp "$1" "$2"; }
put /usr/lib/x86_64-linux-gnu/wine/x86_64-unix/ntdll.so "$tree/usr/lib/x86_64-linux-gnu/wine/x86_64-unix/ntdll.so"
put /usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so "$tree/usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so"
put "$cache/b64/dlls/winealsa.drv/winealsa.so" "$tree/usr/lib/x86_64-linux-gnu/wine/x86_64-unix/winealsa.so"
put "$cache/b64/dlls/winealsa.drv/x86_64-windows/winealsa.drv" "$tree/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/winealsa.drv"
put "$cache/b32/dlls/winealsa.drv/winealsa.so" "$tree/usr/lib/i386-linux-gnu/wine/i386-unix/winealsa.so"
put "$cache/b32/dlls/winealsa.drv/i386-windows/winealsa.drv" "$tree/usr/lib/i386-linux-gnu/wine/i386-windows/winealsa.drv"

# The sources and objects are not needed again; the tree and the stamp are.
rm -rf "$cache/src" "$cache/b32" "$cache/b64"
echo "$stamp" >"$cache/stamp"
echo "build_winealsa: done" >&2
echo "$tree"
