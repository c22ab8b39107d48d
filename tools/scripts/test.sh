#!/usr/bin/env bash
# Builds and runs the whole test suite: every test under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer,
# then each fuzz target for a short while over its seed corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/tools/scripts/deps.sh"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$root/tools/scripts/lsan-suppressions.txt"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tools/scripts/tsan-suppressions.txt"

"$root/tools/scripts/build.sh" "$root/build/asan" address
(cd "$root/build/asan" && ctest --output-on-failure --timeout 300 -j"$(nproc)")

BUILD_TARGET=threaded_tests "$root/tools/scripts/build.sh" "$root/build/tsan" thread
(cd "$root/build/tsan" && ctest --output-on-failure --timeout 300 -j"$(nproc)" -L threaded)

# The fuzz build: clang, libFuzzer, ASan and UBSan (docs/testing.md).
CC=clang-14 CXX=clang++-14 BUILD_TARGET=fuzz_targets "$root/tools/scripts/build.sh" "$root/build/fuzz" "" \
  -DPELBO_FUZZ=ON -DPELBO_BUILD_TESTS=OFF -DPELBO_BUILD_TOOLS=OFF
(cd "$root/build/fuzz" && ctest --output-on-failure -j"$(nproc)" -L fuzz)
