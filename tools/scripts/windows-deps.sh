#!/usr/bin/env bash
# windows-deps.sh ARCH...: builds the third-party libraries for Windows (ARCH
# is i686 or x86_64) from Debian's source packages, static, into a prefix per
# architecture kept outside the build tree, and prints the prefixes one per
# line, in the order given, as its last lines. Several architectures build
# side by side: much of each build is a configure script's single thread.
#
# The prefix is named by a key over this script, the toolchain files, the
# source package versions and the cross compiler's version, so it is rebuilt
# only when one of them changes. Needs root for the packages and the deb-src
# list the first time.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -gt 0 ] || { echo "usage: windows-deps.sh i686|x86_64..." >&2; exit 2; }
arches=("$@")
for arch in "${arches[@]}"; do
  case "$arch" in i686|x86_64) ;; *) echo "unknown architecture: $arch" >&2; exit 2 ;; esac
done
cache_root=${PELBO_WIN_DEPS_CACHE:-/var/cache/pelbo/win-deps}
# qrencode serves only the local server that the Windows test programs run
# in-process.
sources=(zlib openssl curl libjsoncpp libpng1.6 libjpeg-turbo libimagequant sqlite3 googletest qrencode)

# The sources come from the release pocket: the security pocket's files of
# some of these packages are not on the mirror.
srclist=/etc/apt/sources.list.d/pelbo-deb-src.sources
if [ ! -f "$srclist" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "$srclist is missing (run as root once)" >&2; exit 1; }
  cat > "$srclist" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt-get update -qq
fi

. "$root/tools/scripts/packages.sh"
ensure_packages g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools curl \
  cmake ninja-build nasm dpkg-dev tcl pkg-config make patch xz-utils libboost1.81-dev

mapfile -t dscs < <(apt-get source --print-uris "${sources[@]/%//bookworm}" 2>/dev/null | awk '/\.dsc/ {print $2}')
[ ${#dscs[@]} -eq ${#sources[@]} ] || { echo "apt-get source found ${#dscs[@]} of ${#sources[@]} source packages" >&2; exit 1; }
key=$( {
  printf '%s\n' "${dscs[@]}"
  dpkg-query -W g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  cat "$0" "$root"/cmake/toolchains/mingw-*.cmake
} | sha256sum | cut -c1-16)
prefix_of() { echo "$cache_root/$key/$1"; }
missing=()
for arch in "${arches[@]}"; do
  [ -f "$(prefix_of "$arch")/.complete" ] || missing+=("$arch")
done

# Downloads are kept beside the prefixes: a rebuild needs no network. Each
# file is checked against the checksum apt lists for it. When the mirror
# lacks a package's Debian changes (it has lost qrencode's), the upstream
# tarball is built as it is: none of this script's packages need them to
# build. unpack[pkg] says how each package is unpacked.
declare -A unpack=()
if [ ${#missing[@]} -gt 0 ]; then
  mkdir -p "$cache_root/sources"
  fetch() { # url, file, sha256
    local file="$cache_root/sources/$2"
    if [ ! -f "$file" ] || ! echo "$3  $file" | sha256sum -c --status; then
      curl -fsSL --retry 3 -o "$file.part.$$" "$1" 2>/dev/null || { rm -f "$file.part.$$"; return 1; }
      echo "$3  $file.part.$$" | sha256sum -c --status || { echo "checksum mismatch: $1" >&2; rm -f "$file.part.$$"; return 1; }
      mv "$file.part.$$" "$file"
    fi
  }
  for pkg in "${sources[@]}"; do
    dsc= orig= complete=1
    while read -r url file _ sum; do
      url=${url//\'/} file=${file//\'/}
      if fetch "$url" "$file" "${sum#SHA256:}"; then
        case "$file" in *.dsc) dsc=$file ;; *.orig.tar.*) orig=$file ;; esac
      else
        complete=0
      fi
    done < <(apt-get source --print-uris "$pkg/bookworm" 2>/dev/null | grep "^'")
    if [ "$complete" = 1 ] && [ -n "$dsc" ]; then
      unpack[$pkg]="dsc $dsc"
    elif [ -n "$orig" ]; then
      echo "  $pkg: no Debian changes on the mirror, building the upstream source" >&2
      unpack[$pkg]="orig $orig"
    else
      echo "windows-deps: the source of $pkg could not be fetched" >&2
      exit 1
    fi
  done
fi

# Builds one architecture's prefix; runs in a subshell of its own.
build_arch() {
arch=$1
case "$arch" in
  # libimagequant's SSE code needs SSE enabled for the whole file, which
  # the 32-bit compiler does not assume.
  i686) triplet=i686-w64-mingw32; openssl_target=mingw; imagequant_sse=OFF ;;
  x86_64) triplet=x86_64-w64-mingw32; openssl_target=mingw64; imagequant_sse=ON ;;
esac
toolchain="$root/cmake/toolchains/mingw-$arch.cmake"
prefix=$(prefix_of "$arch")
work=$(mktemp -d "${TMPDIR:-/tmp}/pelbo-win-deps.XXXXXX")
# A failed step leaves its log in the cache folder and shows its end.
trap 'status=$?; if [ $status -ne 0 ] && [ -f "$work/build.log" ]; then
        cp "$work/build.log" "$cache_root/failed-$arch.log"; tail -n 30 "$work/build.log" >&2
        echo "windows-deps: $arch failed, whole log in $cache_root/failed-$arch.log" >&2; fi
      rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix/lib/pkgconfig" "$prefix/include"
log="$work/build.log"
echo "Building the Windows $arch dependencies into $prefix (log: $log while it runs)" >&2

cd "$work"
for pkg in "${sources[@]}"; do
  read -r how file <<<"${unpack[$pkg]}"
  if [ "$how" = dsc ]; then
    dpkg-source -x "$cache_root/sources/$file" >>"$log" 2>&1
  else
    tar -xf "$cache_root/sources/$file"
  fi
done
src() { find "$work" -maxdepth 1 -mindepth 1 -type d -name "$1-[0-9]*" | head -n1; }

export CC=$triplet-gcc-posix CXX=$triplet-g++-posix AR=$triplet-ar RANLIB=$triplet-ranlib RC=$triplet-windres
jobs=$(nproc)
cmake_dep() { # source folder, extra cmake arguments...
  local dir=$1; shift
  cmake -S "$dir" -B "$dir/_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DPELBO_WIN_DEPS="$prefix" \
    -DBUILD_SHARED_LIBS=OFF "$@" >>"$log" 2>&1
}
step() { echo "  $arch: $1" >&2; }
# A pkg-config file for a library whose own build writes none.
write_pc() { # name, description, version, library
  cat > "$prefix/lib/pkgconfig/$1.pc" <<EOF
prefix=$prefix
Name: $1
Description: $2
Version: $3
Libs: -L\${prefix}/lib -l$4
Cflags: -I\${prefix}/include
EOF
}

step zlib
(cd "$(src zlib)" && CHOST=$triplet ./configure --static --prefix="$prefix" >>"$log" 2>&1 &&
  make -j"$jobs" libz.a >>"$log" 2>&1 && make install >>"$log" 2>&1)

step openssl
(cd "$(src openssl)"
  # Debian's position-independent assembly uses ELF relocations a COFF
  # object cannot hold.
  patch -R -p1 -s < debian/patches/pic.patch
  ./Configure "$openssl_target" no-shared no-tests --prefix="$prefix" --libdir=lib >>"$log" 2>&1
  make -j"$jobs" build_libs >>"$log" 2>&1 && make install_dev >>"$log" 2>&1)

# libcurl is the one dependency built as a DLL: netcall, fetcher, bucketput
# and corekit all use it, and one shared copy keeps one global
# initialisation and one connection policy, as libcurl.so does on Linux.
# libtool links static archives (OpenSSL, zlib) into a DLL only when told
# that any library will do. Windows' own threads serve the name resolver, so
# the DLL needs no winpthread DLL beside it.
step curl
(cd "$(src curl)" &&
  ./configure --host="$triplet" --prefix="$prefix" --enable-shared --disable-static \
    --with-openssl="$prefix" --with-zlib="$prefix" --without-libpsl --without-brotli --without-zstd \
    --without-nghttp2 --without-libidn2 --without-librtmp --without-libssh2 --without-gssapi \
    --disable-ldap --disable-ldaps --disable-manual --disable-docs \
    --disable-pthreads \
    CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib -static-libgcc" LIBS="-lcrypt32 -lws2_32 -lbcrypt" \
    `# libtool links static archives into a DLL only when told every library will do` \
    lt_cv_deplibs_check_method=pass_all >>"$log" 2>&1 &&
  make -j"$jobs" -C lib >>"$log" 2>&1 && make -C lib install >>"$log" 2>&1 &&
  make install-binSCRIPTS >>"$log" 2>&1 &&
  make -C include install >>"$log" 2>&1 && make install-pkgconfigDATA >>"$log" 2>&1)

step jsoncpp
d=$(src libjsoncpp)
cmake_dep "$d" -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON -DJSONCPP_WITH_CMAKE_PACKAGE=ON
cmake --build "$d/_build" -j"$jobs" >>"$log" 2>&1 && cmake --install "$d/_build" >>"$log" 2>&1

step libpng
d=$(src libpng1.6)
cmake_dep "$d" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DZLIB_ROOT="$prefix"
cmake --build "$d/_build" -j"$jobs" >>"$log" 2>&1 && cmake --install "$d/_build" >>"$log" 2>&1

step libjpeg-turbo
d=$(src libjpeg-turbo)
cmake_dep "$d" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=ON -DWITH_JPEG8=OFF
cmake --build "$d/_build" -j"$jobs" >>"$log" 2>&1 && cmake --install "$d/_build" >>"$log" 2>&1

step libimagequant
d=$(src libimagequant)
# Without OpenMP: its runtime would be one more DLL to ship.
cmake_dep "$d" -DBUILD_WITH_SSE="$imagequant_sse" -DLIB_INSTALL_DIR=lib -DCMAKE_DISABLE_FIND_PACKAGE_OpenMP=ON
cmake --build "$d/_build" -j"$jobs" --target imagequant_a >>"$log" 2>&1
cp "$d"/_build/libimagequant_a.a "$prefix/lib/libimagequant.a"
cp "$d"/libimagequant.h "$prefix/include/"
iq_version=$(sed -n 's/^#define LIQ_VERSION_STRING "\(.*\)"/\1/p' "$d/libimagequant.h")
write_pc imagequant "Palette quantization library" "$iq_version" imagequant

step sqlite3
d=$(src sqlite3)
# The amalgamation is generated by Tcl scripts on the build machine and
# then compiled for Windows as one file.
(cd "$d" && mkdir -p _host && cd _host && CC=gcc CXX=g++ AR=ar RANLIB=ranlib ../configure >>"$log" 2>&1 &&
  make sqlite3.c >>"$log" 2>&1)
$CC -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$d/_host/sqlite3.c" -o "$work/sqlite3.o"
$AR rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3.o"
cp "$d/_host/sqlite3.h" "$prefix/include/"
sqlite_version=$(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$prefix/include/sqlite3.h")
write_pc sqlite3 "SQL database engine" "$sqlite_version" sqlite3

step qrencode
d=$(src qrencode)
cmake_dep "$d" -DWITH_TOOLS=NO -DWITHOUT_PNG=ON -DWITH_TESTS=NO
cmake --build "$d/_build" -j"$jobs" >>"$log" 2>&1 && cmake --install "$d/_build" >>"$log" 2>&1

step googletest
d=$(src googletest)
cmake_dep "$d" -Dgtest_force_shared_crt=OFF -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON
cmake --build "$d/_build" -j"$jobs" >>"$log" 2>&1 && cmake --install "$d/_build" >>"$log" 2>&1

# Boost is header-only: a folder holding nothing but the Debian headers'
# boost folder, so the host's /usr/include never joins the search path.
mkdir -p "$prefix/boost-include"
ln -sfn /usr/include/boost "$prefix/boost-include/boost"

touch "$prefix/.complete"
}

pids=()
for arch in "${missing[@]}"; do
  (build_arch "$arch") &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
[ "$failed" = 0 ] || exit 1
for arch in "${arches[@]}"; do
  prefix_of "$arch"
done
