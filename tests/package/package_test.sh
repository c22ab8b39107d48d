#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR: installs BUILD_DIR into a temporary
# prefix (cmake --install builds nothing), checks what landed there, builds
# the example client against it twice (find_package(Service), pkg-config) and
# runs both against the installed local server.
set -euo pipefail
build=$1
source=$2
# shellcheck source=../support/devserver.sh
. "$source/tests/support/devserver.sh"
work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package test: $*" >&2
  exit 1
}

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log" >&2; fail "install failed"; }

libdir=$(cd "$prefix" && ls -d lib*/pkgconfig | head -n1 | xargs dirname)
for file in "$libdir/libService.so" "$libdir/libcorekit.so" "$libdir/libnetcall.so" "bin/pelbo-devserver" \
            "$libdir/cmake/Service/ServiceConfig.cmake" "$libdir/cmake/Service/ServiceTargets.cmake" \
            "$libdir/pkgconfig/service.pc" "include/pelbo/core/ServiceEvent.h" \
            "include/pelbo/account/LoginApi.h" "include/pelbo/compat/StringW.h"; do
  [ -e "$prefix/$file" ] || fail "$file is not installed"
done
if grep -q "add_executable(Tidewell" "$source/updater/CMakeLists.txt" 2>/dev/null; then
  [ -x "$prefix/bin/Tidewell" ] || fail "Tidewell is not installed"
  # --help prints the options and ends before the updater opens its log in
  # the data folder (which, without --help, --root names and it writes).
  mkdir "$work/tidewell-root"
  help=$("$prefix/bin/Tidewell" --help "--root=$work/tidewell-root") || fail "Tidewell --help did not end with 0"
  grep -q -- "--installed-version=N" <<< "$help" || fail "Tidewell --help does not list its options"
  [ -z "$(ls -A "$work/tidewell-root")" ] || fail "Tidewell --help wrote into the data folder"
fi
# The libraries carry their major version: libService.so.1 is the SONAME a
# client records, libService.so the link it builds against.
soname=$(readelf -d "$prefix/$libdir/libService.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libService.so.1 ] || fail "libService's SONAME is '$soname', not libService.so.1"
[ -L "$prefix/$libdir/libService.so" ] && [ -e "$prefix/$libdir/libService.so.1" ] \
  || fail "libService.so is not a link to its versioned file"

# A client's tests start the local server through the imported target.
cmake -S "$source/tests/package/devserver-target" -B "$work/devserver-target" -DCMAKE_PREFIX_PATH="$prefix" \
  > "$work/devserver-target.log" 2>&1 && (cd "$work/devserver-target" && ctest --output-on-failure) \
  >> "$work/devserver-target.log" 2>&1 \
  || { cat "$work/devserver-target.log" >&2; fail "Service::devserver does not run from a client's CMake tree"; }

# Installed programs and libraries find the package's libraries by their
# own place, not through the build tree.
if command -v readelf > /dev/null; then
  if readelf -d "$prefix/$libdir/libService.so" "$prefix/bin/pelbo-devserver" | grep -E "R(UN)?PATH" | grep -q "$build"; then
    fail "an installed file still looks into the build tree"
  fi
fi

# The documentation and the licence texts in share/doc/pelbo: every page of
# docs/, and the copyright file of the Debian package behind each
# third-party library an installed file needs (the system's C and C++
# runtimes and the sanitizers' are the compiler's). libimagequant's text is
# there exactly when the build has it; a build configured with
# PELBO_WITH_LIBIMAGEQUANT=OFF installs nothing that needs libimagequant.
check_docs_and_licences() {
  local docs="$prefix/share/doc/pelbo" page with_iq lossy=0 elf found name path candidate package line checked=0
  local -a elves=() names=() queries=()
  local -A resolved=() owner=() packages=()
  for page in "$source"/docs/*.md "$source"/docs/*.png; do
    [ -f "$docs/${page##*/}" ] || fail "share/doc/pelbo/${page##*/} is not installed"
  done
  command -v readelf > /dev/null || fail "readelf is needed to read what the installed files link"
  with_iq=$(sed -n 's/^PELBO_WITH_LIBIMAGEQUANT:BOOL=//p' "$build/CMakeCache.txt")
  [ -n "$with_iq" ] || fail "PELBO_WITH_LIBIMAGEQUANT is not in $build/CMakeCache.txt"
  [[ "${with_iq^^}" =~ ^(ON|YES|TRUE|Y|1)$ ]] && lossy=1
  mapfile -t elves < <(find "$prefix" -type f \( -name '*.so*' -o -perm -u+x \) -exec sh -c \
                         'head -c4 "$1" | grep -q "ELF" && echo "$1"' _ {} \;)
  [ ${#elves[@]} -gt 0 ] || fail "no installed program or library found"
  for elf in "${elves[@]}"; do
    mapfile -t names < <(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    found=$(ldd "$elf")
    for name in "${names[@]}"; do
      if [[ "$name" == libimagequant.* && "$lossy" = 0 ]]; then
        fail "${elf#"$prefix"/} needs $name in a build without it"
      fi
      # "name => path", or the dynamic loader by its path alone.
      path=$(awk -v n="$name" '$1 == n && $2 == "=>" && !done { print $3; done = 1 }
                               { k = split($1, part, "/") } k > 1 && part[k] == n && !done { print $1; done = 1 }' \
               <<< "$found")
      [ -e "$path" ] || fail "${elf#"$prefix"/} needs $name, which is not found"
      [[ "$path" == "$prefix"/* ]] || resolved[$path]=$name
    done
  done
  # dpkg lists a library under one of its names, in /lib or in /usr/lib.
  for path in "${!resolved[@]}"; do
    for candidate in "$path" "$(readlink -f "$path")"; do
      queries+=("$candidate" "${candidate#/usr}" "/usr${candidate#/usr}")
    done
  done
  while IFS= read -r line; do
    if [[ "$line" =~ ^([^:,\ ]+)[^\ ]*:\ (/.*)$ ]]; then
      owner[${BASH_REMATCH[2]}]=${BASH_REMATCH[1]}
    fi
  done < <(dpkg-query -S "${queries[@]}" 2>/dev/null || true)
  for path in "${!resolved[@]}"; do
    package=
    for candidate in "$path" "$(readlink -f "$path")"; do
      for name in "$candidate" "${candidate#/usr}" "/usr${candidate#/usr}"; do
        if [ -z "$package" ]; then
          package=${owner[$name]:-}
        fi
      done
    done
    [ -n "$package" ] || fail "${resolved[$path]} ($path) belongs to no Debian package"
    packages[$package]=1
  done
  for package in "${!packages[@]}"; do
    case "$package" in libc6|libstdc++6|libgcc-s1|libasan[0-9]*|libubsan[0-9]*|libtsan[0-9]*) continue ;; esac
    [ -f "$docs/licenses/$package/copyright" ] || fail "the licence text of $package is not installed"
    checked=$((checked + 1))
  done
  if [ "$lossy" = 1 ]; then
    compgen -G "$docs/licenses/libimagequant*/copyright" > /dev/null ||
      fail "libimagequant's licence text is missing"
  elif compgen -G "$docs/licenses/libimagequant*" > /dev/null; then
    fail "libimagequant's licence text is installed by a build without it"
  fi
  echo "package test: documentation and $checked licence texts checked (PELBO_WITH_LIBIMAGEQUANT=$with_iq)"
}
check_docs_and_licences

# Every public header compiles with nothing but the package's include
# folder: none of them needs a header that was left out.
all="$work/all_headers.cpp"
(cd "$prefix/include" && find pelbo -name '*.h' | sort | sed 's|^|#include "|; s|$|"|') > "$all"
c++ -std=c++17 -fsyntax-only -I"$prefix/include" "$all" || fail "the installed headers do not compile on their own"

cmake -S "$source/examples/client" -B "$work/client" -DCMAKE_PREFIX_PATH="$prefix" > "$work/client.log" 2>&1 \
  || { cat "$work/client.log" >&2; fail "the example does not configure against the package"; }
cmake --build "$work/client" > "$work/client-build.log" 2>&1 \
  || { cat "$work/client-build.log" >&2; fail "the example does not build against the package"; }

export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/example-pkgconfig" "$source/examples/client/main.cpp" \
    $(pkg-config --cflags --libs pelbo-service) || fail "the example does not build with pkg-config"
# A module brings the package libraries its library exposes (Service:
# corekit); "service" brings them all.
pkg-config --libs pelbo-service | grep -q -- "-lcorekit" || fail "pelbo-service does not require pelbo-corekit"
pkg-config --libs service | grep -q -- "-lkeepsafe" || fail "service does not bring keepsafe"

phone=13900139000
password=example-Passw0rd
start_devserver "$prefix/bin/pelbo-devserver" "$work/server.out" --user "$phone:$password"

out=$("$work/client/example-client" --server "$url" --phone "$phone" --password "$password" --data "$work/data") \
  || fail "the example (CMake package) did not sign in"
echo "$out"
echo "$out" | grep -q '^signed in: user [0-9]' || fail "unexpected output: $out"

out=$(LD_LIBRARY_PATH="$prefix/$libdir" "$work/example-pkgconfig" --server "$url" --phone "$phone" \
        --password "$password" --data "$work/data") || fail "the example (pkg-config) did not sign in"
echo "$out" | grep -q '^signed in: user [0-9]' || fail "unexpected output: $out"

# A wrong password is refused, and the example says so with its exit code.
if "$work/client/example-client" --server "$url" --phone "$phone" --password wrong --data "$work/data" 2> "$work/refused.err"; then
  fail "a wrong password signed in"
fi
grep -q "sign-in refused: code" "$work/refused.err" || fail "unexpected refusal: $(cat "$work/refused.err")"

# The first client (examples/first-client, docs/getting-started.md): built
# against the installed package with find_package(Service) and run through
# every step of a client's first day against the installed local server over
# TLS, trusting the CA certificate the server names. A block of its own: it
# runs in a subshell with its own server, which it stops when it ends.
first_client_end_to_end() (
  dir="$work/first-client"
  mkdir -p "$dir"
  cmake -S "$source/examples/first-client" -B "$dir/build" -DCMAKE_PREFIX_PATH="$prefix" > "$dir/configure.log" 2>&1 \
    || { cat "$dir/configure.log" >&2; fail "the first client does not configure against the package"; }
  cmake --build "$dir/build" > "$dir/build.log" 2>&1 \
    || { cat "$dir/build.log" >&2; fail "the first client does not build against the package"; }

  server_pid=
  stop_server() {
    if [ -n "$server_pid" ]; then
      kill "$server_pid" 2>/dev/null || true
      wait "$server_pid" 2>/dev/null || true
    fi
  }
  trap stop_server EXIT
  phone=13700137000
  password=first-Passw0rd
  start_devserver "$prefix/bin/pelbo-devserver" "$dir/server.out" --tls --user "$phone:$password"
  case $url in https://*) ;; *) fail "pelbo-devserver --tls listens on $url" ;; esac
  ca=
  for _ in $(seq 1 50); do
    ca=$(sed -n 's/^CA certificate //p' "$dir/server.out")
    [ -n "$ca" ] && break
    sleep 0.1
  done
  [ -n "$ca" ] && [ -f "$ca" ] || fail "pelbo-devserver --tls named no CA certificate: $(cat "$dir/server.out")"

  # The example bounds each of its waits; the limit here only keeps a hang in
  # the shutdown from holding the test.
  status=0
  timeout 120 "$dir/build/first-client" --server "$url" --ca "$ca" --phone "$phone" --password "$password" \
    --data "$dir/data" > "$dir/out" 2> "$dir/err" || status=$?
  cat "$dir/out"
  [ "$status" -eq 0 ] || fail "the first client ended with $status: $(cat "$dir/err")"
  if grep -q '^FAIL' "$dir/out"; then
    fail "the first client reported a failed step but ended with 0"
  fi
  for step in settings sign-in "login item" meeting session room upload "head picture" version shutdown; do
    grep -q "^ok   $step: " "$dir/out" || fail "the first client's step \"$step\" is missing"
  done
  grep -q '^ok   settings: REST https://.*, websocket wss://.*/ws, storage https://' "$dir/out" \
    || fail "the first client did not derive the TLS addresses"
  grep -q '^ok   session: ConnectResult 0 ' "$dir/out" || fail "the session did not log in"
  grep -q '^ok   room: EnterMeeting 0: ' "$dir/out" || fail "the room was not entered"
  grep -q '^ok   upload: .* stored as file [1-9][0-9]* at https://' "$dir/out" \
    || fail "the document was not stored over https"
  grep -q '^ok   head picture: https://.* stored as ' "$dir/out" || fail "the head picture was not stored"
  grep -q '^ok   version: release [0-9.]* announced; .*--installed-version=' "$dir/out" \
    || fail "the version check announced no release"
  # What the steps left behind: the login item's store, readable by its owner
  # only, and the picture in the user's own folder.
  [ "$(stat -c %a "$dir/data/keepsafe.db")" = 600 ] || fail "the profile store is readable by others"
  user_id=$(sed -n 's/^user .* registered (id \([0-9]*\).*/\1/p' "$dir/server.out")
  ls "$dir/data/users/$user_id/pictures/${user_id}_"*.png > /dev/null 2>&1 \
    || fail "no head picture of user $user_id in the user's folder"
  echo "package test: the first client took every step"
)
first_client_end_to_end

echo "package test: installed, built and signed in"
