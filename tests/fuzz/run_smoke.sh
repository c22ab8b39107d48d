#!/usr/bin/env bash
# run_smoke.sh TARGET CORPUS SECONDS ARTIFACTS: runs one fuzz target for a
# short while. libFuzzer writes the inputs it finds into its first corpus
# folder, so that is a fresh temporary one and the seed corpus (in the
# source tree) is only read. A crashing input is kept in ARTIFACTS.
set -euo pipefail
target=$1 corpus=$2 seconds=$3 artifacts=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/tmp" "$artifacts"
# The target's own files go into the temporary folder too, whatever happens.
TMPDIR="$work/tmp" "$target" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$artifacts/$(basename "$target")-" "$work/corpus" "$corpus"
