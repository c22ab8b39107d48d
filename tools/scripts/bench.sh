#!/usr/bin/env bash
# Builds the benchmarks (optimised, no sanitizers) and prints one table:
# path | ours | reference | ratio | target
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/tools/scripts/deps.sh"
"$root/tools/scripts/build.sh" "$root/build/bench" "" -DCMAKE_BUILD_TYPE=Release -DPELBO_BUILD_TESTS=OFF -DPELBO_BUILD_BENCH=ON
bin="$root/build/bench/bin"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$bin/bench_micro" --benchmark_format=json --benchmark_out="$out/micro.json" --benchmark_out_format=json >/dev/null
"$bin/bench_netcall" > "$out/netcall.txt"

printf '%-48s | %14s | %14s | %7s | %s\n' path ours reference ratio target
python3 "$root/tools/scripts/bench_table.py" "$out/micro.json"
cat "$out/netcall.txt"
