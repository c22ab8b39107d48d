#!/usr/bin/env bash
# Builds the library and runs the demo against the embedded local server.
# Extra arguments go to the demo (for example --server URL).
# Without a display the demo runs on a virtual one (Xvfb), so that the
# updater's window opens too.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/tools/scripts/deps.sh"
"$root/tools/scripts/build.sh" "$root/build/release" "" -DPELBO_BUILD_TESTS=OFF
demo="$root/build/release/bin/pelbo-demo"
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  exec xvfb-run -a "$demo" "$@"
fi
exec "$demo" "$@"
