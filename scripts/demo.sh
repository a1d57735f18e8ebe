#!/usr/bin/env bash
# Builds the three programs, makes a development PKI, packages a sample title
# of three contents in the plain layout and one of a single content in the
# disc layout, and verifies both packages with tmd-inspect. Everything goes
# to out/ (or $1). Run as root, it first installs the Debian packages the
# build needs.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages build
out=$(realpath -m "${1:-out}")

# The build directory of scripts/test.sh when there is one; otherwise a new
# one without the tests and benchmarks, whose packages the demo does not need.
# Only the three programs are built.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTMD_BUILD_TESTS=OFF -DTMD_BUILD_BENCH=OFF
fi
cmake --build build -j"${JOBS:-2}" --target tmd tmd-pki tmd-inspect
bin=$PWD/build/bin

# run CMD...: shows the command, then runs it.
run() {
  echo "\$ $*"
  "$@"
}
export PATH="$bin:$PATH"

rm -rf "$out"
mkdir -p "$out/contents" "$out/title" "$out/disc-title"
cd "$out"
head -c 100000 /dev/urandom >contents/boot.bin
head -c 3000000 /dev/urandom >contents/data.bin
printf 'hello, title\n' >contents/readme.txt

echo
run tmd-pki init pki
export KESSARIVON_SDK_ROOT="$out/pki"

echo "(KESSARIVON_SDK_ROOT=$KESSARIVON_SDK_ROOT)"
cd "$out/title"
run tmd -O -T 0x0001000100000002 -n ../contents/boot.bin,../contents/data.bin,../contents/readme.txt \
  -c 0x10,0x11,0x12 -i 0,1,2 -t 1,1,0x4001
cd "$out/disc-title"
run tmd -O -d -T 0x0001000100000003 -n ../contents/data.bin -c 0x20 -i 0 -t 3
cd "$out"
ls -l title disc-title

echo
run tmd-inspect --pki pki title/1000100000002.tmd
echo
run tmd-inspect --pki pki disc-title/1000100000003.tmd
echo
echo "both packages verify; everything is in $out"
