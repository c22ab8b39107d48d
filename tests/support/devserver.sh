# Sourced by the test scripts that run pelbo-devserver as its own process.
# start_devserver PROGRAM OUTPUT [ARGS...] starts it with its standard output
# in OUTPUT and sets server_pid and url (where it listens) once it says so;
# fail (defined by the caller) ends the test when it does not.
start_devserver() {
  local program=$1 output=$2
  shift 2
  "$program" "$@" > "$output" 2>&1 &
  server_pid=$!
  url=
  for _ in $(seq 1 100); do
    url=$(sed -n 's/^listening on //p' "$output")
    [ -n "$url" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || { cat "$output" >&2; fail "pelbo-devserver ended"; }
    sleep 0.1
  done
  fail "pelbo-devserver did not say where it listens"
}
