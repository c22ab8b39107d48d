#!/usr/bin/env bash
# run_demo_server.sh DEMO DEVSERVER: the tour against a separate deployment
# (--server): a pelbo-devserver process on a free port with one account, its
# storage reached through the settings file the demo is given. On a virtual
# display, so that the updater installs that server's release too; every
# family must pass.
set -uo pipefail
demo=$1
devserver=$2
# shellcheck source=../support/devserver.sh
. "$(dirname "$0")/../support/devserver.sh"
work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "run_demo_server.sh: $*" >&2; exit 1; }

phone=13700137000
password=tour-Passw0rd
start_devserver "$devserver" "$work/server.out" --user "$phone:$password"
port=${url##*:}

cat > "$work/settings.ini" <<INI
[Service]
rest_url          = $url
wss_url           = ws://127.0.0.1:$port/ws
manifest_url      = $url/upgrade/pelbo-version.json
oss_domain_suffix = .localhost:$port
allow_http_updates = 1
INI

xvfb-run -a "$demo" --server "$url" --phone "$phone" --password "$password" --settings "$work/settings.ini" \
  --timeout 60 > "$work/demo.out" 2>&1
code=$?
cat "$work/demo.out"
[ "$code" -eq 0 ] || fail "the demo exited with $code"
families=$("$demo" --list | wc -l)
grep -q "^done: $families of $families families passed$" "$work/demo.out" \
  || fail "not every one of the $families families passed"
