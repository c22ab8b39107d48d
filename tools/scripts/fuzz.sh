#!/usr/bin/env bash
# fuzz.sh TARGET [SECONDS] [RUNS]: one long run of a fuzz target from the
# fuzz build (build/fuzz, see docs/testing.md), on one core and at low
# priority, until SECONDS (default 1800) or RUNS inputs (default 10
# million), whichever comes first. The inputs it finds are kept in
# build/fuzz/corpus/TARGET for the next run; the seed corpus in the tree is
# only read. A crashing input lands in build/fuzz/artifacts.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
target=$1
seconds=${2:-1800}
runs=${3:-10000000}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS="suppressions=$root/tools/scripts/lsan-suppressions.txt"
corpus="$root/build/fuzz/corpus/$target"
mkdir -p "$corpus" "$root/build/fuzz/artifacts"
exec nice -n 10 "$root/build/fuzz/bin/$target" -max_total_time="$seconds" -runs="$runs" -print_final_stats=1 \
  -artifact_prefix="$root/build/fuzz/artifacts/$target-" "$corpus" "$root/tests/fuzz/corpus/$target"
