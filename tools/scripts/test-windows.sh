#!/usr/bin/env bash
# test-windows.sh: the whole Windows round. Installs what it needs (as root),
# builds the dependencies for i686 and x86-64 (cached, see windows-deps.sh),
# builds Service.dll, Tidewell.exe and the tests for both, and runs every
# test labelled "windows" under wine: the x86-64 ones under wine64, the i686
# ones under wine32 when its i386 packages install on this machine.
#
# The i386 architecture is never left configured: with it, a broken i386
# index on the mirror makes every later "apt-get update" fail.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
jobs=$(nproc)

. "$root/tools/scripts/packages.sh"
ensure_packages wine wine64 fonts-wine fonts-wqy-microhei xvfb xauth x11-apps imagemagick

prefixes=$("$root/tools/scripts/windows-deps.sh" x86_64 i686 | tail -n2)
prefix64=$(sed -n 1p <<<"$prefixes")
prefix32=$(sed -n 2p <<<"$prefixes")

# wine32 needs the i386 architecture for as long as it is installed, so it
# is tried, used and removed again within this run.
wine32_ready=0
i386_added=0
cleanup_i386() {
  if [ "$i386_added" = 1 ]; then
    # Every i386 package came with wine32 in this run; apt would keep the
    # foreign C library (it calls it essential), so dpkg removes them all.
    mapfile -t foreign < <(dpkg-query -W -f='${binary:Package}\n' 2>/dev/null | grep ':i386$' || true)
    if [ ${#foreign[@]} -gt 0 ]; then
      dpkg --purge --force-remove-protected --force-remove-essential --force-depends "${foreign[@]}" \
        >/dev/null 2>&1 || true
    fi
    dpkg --remove-architecture i386 2>/dev/null || echo "the i386 architecture could not be removed" >&2
    apt-get update -qq >/dev/null 2>&1 || true
  fi
}
xvfb_pid=
cleanup() {
  status=$?
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  for p in "$root/build/wine64-prefix" "$root/build/wine32-prefix"; do
    [ -d "$p" ] && WINEPREFIX=$p wineserver -k 2>/dev/null || true
  done
  cleanup_i386
  exit $status
}
trap cleanup EXIT

if dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg-query -W -f='${Status}' 'wine32:i386' 2>/dev/null | grep -q "install ok installed" && wine32_ready=1
elif [ "$(id -u)" -eq 0 ] && [ "${PELBO_SKIP_WINE32:-0}" != 1 ]; then
  dpkg --add-architecture i386
  i386_added=1
  apt-get update -qq >/dev/null 2>&1 || true
  # Installed is not enough: a kernel without 32-bit support cannot start
  # wine32's loader, and its presence would then break the 64-bit run too.
  if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends 'wine32:i386' >/dev/null 2>&1 &&
     /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine32_ready=1
  else
    echo "wine32 (i386) does not install or cannot run on this machine: the i686 product is built, its tests are not"
    cleanup_i386
    i386_added=0
  fi
fi

export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
configure() { # build folder, architecture, prefix, tests ON/OFF
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$2.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPELBO_WIN_DEPS="$3" -DPELBO_BUILD_TESTS="$4" >/dev/null
  cmake --build "$1" -j"$jobs"
}
configure "$root/build/win64" x86_64 "$prefix64" ON
# Without wine32 the i686 test programs could not run: the product alone is
# built for i686 then.
if [ "$wine32_ready" = 1 ]; then
  configure "$root/build/win32" i686 "$prefix32" ON
else
  configure "$root/build/win32" i686 "$prefix32" OFF
fi

# A wine prefix of its own per architecture, made once, with the font that
# stands in for the client's Chinese font.
prepare_prefix() { # prefix folder, wine program, WINEARCH
  # A crashing test must end, not wait in the debugger.
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    WINEARCH=$3 wineboot -i >/dev/null 2>&1
    "$2" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei' /d 'WenQuanYi Micro Hei' /f \
      >/dev/null 2>&1
    wineserver -w
  fi
  # A running wine server makes every test program start in a fraction of
  # the time.
  wineserver -p
  "$2" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# One display for every window of the run (the updater's among them);
# "wine reg" above also needs one, or later windows fail to open.
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 1 100); do
  xdpyinfo -display "$display" >/dev/null 2>&1 && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done

prepare_prefix "$root/build/wine64-prefix" wine win64
(cd "$root/build/win64" && ctest --output-on-failure --timeout 300 -j"$jobs" -L windows)
wineserver -k || true

if [ "$wine32_ready" = 1 ]; then
  prepare_prefix "$root/build/wine32-prefix" wine win32
  (cd "$root/build/win32" && ctest --output-on-failure --timeout 300 -j"$jobs" -L windows)
  wineserver -k || true
fi
