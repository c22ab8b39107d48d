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

"$bin/bench_micro" --benchmark_min_time=0.2 > "$out/micro.txt"
"$bin/bench_netcall" > "$out/netcall.txt"
"$bin/bench_mixed" > "$out/mixed.txt"
"$bin/bench_updater" > "$out/updater.txt"
"$bin/bench_downloads" > "$out/downloads.txt"
"$bin/bench_imgconv" > "$out/imgconv.txt"
"$bin/bench_wirelink" > "$out/wirelink.txt"
# PELBO_BENCH_UPLOAD_MIB picks a smaller file for a quick run (default 1024).
"$bin/bench_upload" > "$out/upload.txt" || true

printf '%-48s | %14s | %14s | %7s | %s\n' path ours reference ratio target
cat "$out/micro.txt" "$out/netcall.txt" "$out/mixed.txt" "$out/updater.txt" "$out/downloads.txt" "$out/imgconv.txt" "$out/wirelink.txt" "$out/upload.txt"
