#!/usr/bin/env bash
# Builds the library and runs the demo against the embedded local server.
# Extra arguments go to the demo (for example --server URL).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/tools/scripts/deps.sh"
"$root/tools/scripts/build.sh" "$root/build/release" "" -DPELBO_BUILD_TESTS=OFF
exec "$root/build/release/bin/pelbo-demo" "$@"
