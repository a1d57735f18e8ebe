#!/usr/bin/env bash
# Cross-compiles the whole tree for 64-bit ARM Linux and runs every test
# program under user-mode emulation, on the processor's crypto instructions
# and again on the portable code (TMD_CPU_DISABLE=all). Then packages a title
# in both layouts with the emulated tmd and with the host's (built in build/)
# and requires the same bytes.
#   scripts/cross-aarch64.sh [build-dir]     default build-aarch64/
# Needs g++-aarch64-linux-gnu, qemu-user and the arm64 libssl-dev,
# libgtest-dev and libp11-kit-dev beside them; run as root, it installs
# what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
if [ "$(id -u)" -eq 0 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi
need_packages build cross_aarch64
dir=$(realpath -m "${1:-build-aarch64}")
jobs=${JOBS:-2}
# The emulated programs load the arm64 C library from the cross toolchain's
# directory; "max" offers the AES, SHA-1 and PMULL instructions.
emu=(qemu-aarch64 -cpu max -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTMD_WERROR=ON -DTMD_BUILD_BENCH=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
cmake --build "$dir" -j"$jobs"

# ctest runs every test of every program through the emulator named in the
# toolchain file, once as built and once with TMD_CPU_DISABLE=all (the
# "portable." copies). The PKCS#11 token tests need SoftHSM2's module built
# for the emulated processor, which Debian cannot install beside the host's;
# they run in the host build only.
unset TMD_REQUIRE_SOFTHSM
ctest --test-dir "$dir" -j"$jobs" --output-on-failure -E 'Pkcs11Test\.'

# The same title from both builds, byte for byte.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" --target tmd tmd-pki >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/bin/tmd-pki init "$work/pki" >/dev/null
export KESSARIVON_SDK_ROOT="$work/pki"
head -c 300000 /dev/urandom >"$work/a.bin"
head -c 2500000 /dev/urandom >"$work/b.bin"
for arch in host aarch64; do
  tmd=("$PWD/build/bin/tmd")
  [ "$arch" = aarch64 ] && tmd=("${emu[@]}" "$dir/bin/tmd")
  mkdir -p "$work/$arch/plain" "$work/$arch/disc"
  (cd "$work/$arch/plain" &&
    "${tmd[@]}" -O -T 0x0001000100000002 -n ../../a.bin,../../b.bin -c 0x10,0x11 -i 0,1 -t 1,1 -a \
      >/dev/null)
  (cd "$work/$arch/disc" &&
    "${tmd[@]}" -O -d -T 0x0001000100000003 -n ../../b.bin -c 0x20 -i 0 -t 3 -a >/dev/null)
done
diff -r "$work/host" "$work/aarch64"
echo "aarch64: every suite passed; both layouts byte-identical to $(uname -m)"
