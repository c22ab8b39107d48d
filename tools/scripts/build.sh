#!/usr/bin/env bash
# build.sh DIR [SANITIZE] [extra cmake args...]: configures and builds into
# DIR; with BUILD_TARGET set (one target, or several separated by spaces),
# only those and what they need.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=$1; shift
sanitize=${1:-}; [ $# -gt 0 ] && shift
export CCACHE_BASEDIR="$root"
export CCACHE_NOHASHDIR=1
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELBO_SANITIZE="$sanitize" "$@" >/dev/null
# shellcheck disable=SC2086 # BUILD_TARGET splits into its targets
cmake --build "$dir" -j"$(nproc)" ${BUILD_TARGET:+--target $BUILD_TARGET}
