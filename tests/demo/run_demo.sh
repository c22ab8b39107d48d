#!/usr/bin/env bash
# run_demo.sh DEMO [ARGUMENTS]: runs the whole demo tour on a virtual
# display and requires every family, the updater included, to report ok and
# the demo to exit 0 (a sanitizer report at exit makes the exit code
# non-zero). ARGUMENTS go to the demo (--proxy).
set -uo pipefail
demo=$1
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
xvfb-run -a "$demo" --timeout 60 "$@" >"$out" 2>&1
code=$?
cat "$out"
families=$("$demo" --list | wc -l)
if [ "$code" -ne 0 ]; then
  echo "run_demo.sh: the demo exited with $code" >&2
  exit 1
fi
if ! grep -q "^done: $families of $families families passed$" "$out"; then
  echo "run_demo.sh: not every one of the $families families passed" >&2
  exit 1
fi
