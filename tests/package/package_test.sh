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
fi
# Installed programs and libraries find the package's libraries by their
# own place, not through the build tree.
if command -v readelf > /dev/null; then
  if readelf -d "$prefix/$libdir/libService.so" "$prefix/bin/pelbo-devserver" | grep -E "R(UN)?PATH" | grep -q "$build"; then
    fail "an installed file still looks into the build tree"
  fi
fi

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
c++ -std=c++17 -o "$work/example-pkgconfig" "$source/examples/client/main.cpp" $(pkg-config --cflags --libs service) \
  || fail "the example does not build with pkg-config"

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
