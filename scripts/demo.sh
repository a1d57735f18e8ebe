#!/usr/bin/env bash
# Builds the tool, makes a development PKI and packages a sample title of
# three contents (two plain, one in the disc layout as a second title), then
# dumps and verifies the TMD. Everything goes to out/ (or $1).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-out}")
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"${JOBS:-2}" --target tmd tmd-pki >/dev/null
bin=$PWD/build/bin

rm -rf "$out"
mkdir -p "$out/pki" "$out/contents" "$out/title" "$out/disc-title"
"$bin/tmd-pki" init "$out/pki"
export KESSARIVON_SDK_ROOT="$out/pki"

head -c 100000 /dev/urandom > "$out/contents/boot.bin"
head -c 3000000 /dev/urandom > "$out/contents/data.bin"
printf 'hello, title\n' > "$out/contents/readme.txt"

cd "$out/title"
"$bin/tmd" -O -T 0x0001000100000002 -n ../contents/boot.bin,../contents/data.bin,../contents/readme.txt \
  -c 0x10,0x11,0x12 -i 0,1,2 -t 1,1,0x4001 -a
echo "plain title: exit status $?"

cd "$out/disc-title"
"$bin/tmd" -O -d -T 0x0001000100000003 -n ../contents/data.bin -c 0x20 -i 0 -t 3 -a
echo "disc title: exit status $?"

echo
echo "outputs:"
ls -l "$out/title" "$out/disc-title"
