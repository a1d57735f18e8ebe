#!/usr/bin/env bash
# Builds the project (warnings are errors) and runs the whole test suite,
# installing the Debian packages it needs first when run as root.
#   scripts/test.sh                     release build in build/
#   scripts/test.sh --sanitize          AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh [--sanitize] ARGS   ARGS go to ctest: scripts/test.sh -R CreateTest
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages build test
jobs=${JOBS:-2}
if [ "${1:-}" = "--sanitize" ]; then
  shift
  dir=build-asan
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTMD_WERROR=ON \
    -DTMD_BUILD_TESTS=ON -DTMD_SANITIZE=ON -DTMD_BUILD_BENCH=OFF
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:halt_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
else
  dir=build
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTMD_WERROR=ON -DTMD_BUILD_TESTS=ON
fi
cmake --build "$dir" -j"$jobs"
ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@"
