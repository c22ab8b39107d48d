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

# The build without libimagequant, the one for closed-source clients
# (docs/install.md). Its lossless pngsqueeze and the image conversion on it
# are tested under the sanitizers; all but a few of the objects are the ASan
# tree's, from the compiler cache.
BUILD_TARGET="pngsqueeze_test imgconv_test" "$root/tools/scripts/build.sh" "$root/build/asan-nogpl" address \
  -DPELBO_WITH_LIBIMAGEQUANT=OFF
(cd "$root/build/asan-nogpl" && ctest --output-on-failure --timeout 300 -j"$(nproc)" -R '^(PngSqueeze|ImgConv)')
# Its package: only what it installs is built, unoptimised and without
# debug information (the quickest build), and the package test checks it as
# it checks the ASan tree's above.
BUILD_TARGET="Service pelbo-devserver Tidewell" "$root/tools/scripts/build.sh" "$root/build/nogpl" "" \
  -DCMAKE_BUILD_TYPE= -DPELBO_WITH_LIBIMAGEQUANT=OFF -DPELBO_BUILD_TESTS=OFF
bash "$root/tests/package/package_test.sh" "$root/build/nogpl" "$root"

BUILD_TARGET=threaded_tests "$root/tools/scripts/build.sh" "$root/build/tsan" thread
(cd "$root/build/tsan" && ctest --output-on-failure --timeout 300 -j"$(nproc)" -L threaded)

# The fuzz build: clang, libFuzzer, ASan and UBSan (docs/testing.md).
CC=clang-14 CXX=clang++-14 BUILD_TARGET=fuzz_targets "$root/tools/scripts/build.sh" "$root/build/fuzz" "" \
  -DPELBO_FUZZ=ON -DPELBO_BUILD_TESTS=OFF -DPELBO_BUILD_TOOLS=OFF
(cd "$root/build/fuzz" && ctest --output-on-failure -j"$(nproc)" -L fuzz)
