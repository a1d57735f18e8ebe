#!/usr/bin/env bash
# Constant-time check: builds the check program with the secrets marked for
# valgrind's memcheck (TMD_CT_CHECK) and runs it under valgrind on the
# default paths, with the portable field arithmetic, and with every portable
# path (TMD_CPU_DISABLE=all: the bitsliced AES for every AES call). Any report
# of a branch or memory index that depends on a secret fails.
# Usage: scripts/ct_check.sh [build-dir]   (default build-ct)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages build test ct
dir=${1:-build-ct}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
  -DTMD_CT_CHECK=ON -DTMD_WERROR=ON -DTMD_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"${JOBS:-2}" --target ct_check
ctest --test-dir "$dir" -R '^ct_check\.' --output-on-failure
