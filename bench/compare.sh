#!/usr/bin/env bash
# Side-by-side comparison of the tool and the crypto code against openssl on
# this machine. Builds nothing:
#   bench/compare.sh <build-dir> [rounds]
# Makes a 1 GiB random input in a temporary directory (TMPDIR, default /tmp),
# writes every output next to it, and prints for each goal the ratio
# tool time / peer time per round, their median and best, plus the tool's
# peak RSS. On a virtual machine whose memory the host backs lazily, a round
# that writes into never-touched pages can take twice as long: the median
# over several rounds is the figure to quote.
# Run it on an otherwise idle machine: bench/compare.sh build 5
# COMPARE_ONLY=inspect bench/compare.sh build 5 times only tmd-inspect.
set -euo pipefail
build=$(cd "${1:?usage: compare.sh <build-dir> [rounds]}" && pwd)
rounds=${2:-3}
bin=$build/bin
for p in tmd tmd-pki; do [ -x "$bin/$p" ] || { echo "missing $bin/$p" >&2; exit 1; }; done

work=$(mktemp -d "${TMPDIR:-/tmp}/tmd-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin/tmd-pki" init pki >/dev/null
export KESSARIVON_SDK_ROOT=$work/pki
head -c 1073741824 /dev/urandom > in.bin
mkdir out
key=$(od -An -tx1 -N16 pki/X86/bin/pki_data/common_dpki.aesKey | tr -d ' \n')

# timed <label> <cmd...>: runs in out/ after flushing earlier writes; sets
# T (seconds) and RSS (KiB).
timed() {
  sync
  sleep 1
  (cd "$work/out" && /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null)
  read -r T RSS < "$work/time.txt"
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }

# --- tmd-inspect against its floors ---
# Checks 1 GiB titles in both layouts from the page cache. The plain layout's
# floor is one SHA-1 chain over the plaintext (openssl speed -evp sha1 in this
# run, as seconds per GiB); the disc layout has no serial chain, so it is held
# against openssl enc -d of the same encrypted bytes.
inspect_titles() {
  [ -d "$work/ip" ] && return
  mkdir -p "$work/ip" "$work/id"
  (cd "$work/ip" && "$bin/tmd" -O -T 0x0001000100000012 -n ../in.bin -c 1 -i 0 -t 1)
  (cd "$work/id" && "$bin/tmd" -O -d -T 0x0001000100000013 -n ../in.bin -c 1 -i 0 -t 3)
}
inspect_sha1_floor() {
  openssl speed -seconds 2 -bytes 16384 -evp sha1 2>/dev/null |
    awk 'tolower($1) == "sha1" {v = $NF} END {sub("k", "", v); printf "%.4f", 1073741824 / (v * 1000)}'
}
inspect_compare() {
  [ -x "$bin/tmd-inspect" ] || { echo "missing $bin/tmd-inspect" >&2; return 1; }
  inspect_titles
  local floor plain=() disc=() r tp to td tq
  local decCmd="openssl enc -d -aes-128-cbc -nopad -K $key -iv 00000000000000000000000000000000 -in $work/id/00000001.app -out /dev/null"
  cat "$work"/ip/* "$work"/id/* > /dev/null
  echo "== tmd-inspect -q of 1 GiB titles from the page cache (goals: plain <= 1.15 of the SHA-1 floor, disc <= 0.5 of openssl enc -d; RSS <= 16 / 64 MiB)"
  for ((r = 1; r <= rounds; r++)); do
    floor=$(inspect_sha1_floor)
    timed "$bin/tmd-inspect" -q --pki "$work/pki" "$work"/ip/*.tmd; tp=$T; local rp=$RSS
    timed sh -c "$decCmd"; to=$T
    timed "$bin/tmd-inspect" -q --pki "$work/pki" "$work"/id/*.tmd; td=$T; local rd=$RSS
    tq=$(ratio "$tp" "$floor"); plain+=("$tq")
    local dq; dq=$(ratio "$td" "$to"); disc+=("$dq")
    printf '  round %d: plain %5.2f s vs SHA-1 floor %5.2f s: %s (%d KiB)   disc %5.2f s vs openssl enc -d %5.2f s: %s (%d KiB)\n' \
      "$r" "$tp" "$floor" "$tq" "$rp" "$td" "$to" "$dq" "$rd"
  done
  printf '  median ratio plain %s   disc %s\n' "$(printf '%s\n' "${plain[@]}" | median)" \
    "$(printf '%s\n' "${disc[@]}" | median)"
}

# COMPARE_ONLY=inspect runs the part above alone.
if [ "${COMPARE_ONLY:-}" = inspect ]; then inspect_compare; exit 0; fi


# compare <title> <peer label> <peer cmd> <tool env> -- <tool args...>
compare() {
  local title=$1 peerName=$2 peerCmd=$3 toolEnv=$4; shift 5
  local ratios=() rss=0
  echo "== $title"
  for ((r = 1; r <= rounds; r++)); do
    timed sh -c "$peerCmd"; local tp=$T
    rm -f out/*
    timed env $toolEnv "$bin/tmd" "$@"; local tt=$T
    [ "$RSS" -gt "$rss" ] && rss=$RSS
    rm -f out/*
    local q; q=$(ratio "$tt" "$tp")
    ratios+=("$q")
    printf '  round %d: tmd %6.2f s   %s %6.2f s   ratio %s\n' "$r" "$tt" "$peerName" "$tp" "$q"
  done
  rm -f out/*
  printf '  median ratio %s   best %s   tmd peak RSS %d KiB (%.1f MiB)\n' \
    "$(printf '%s\n' "${ratios[@]}" | median)" "$(printf '%s\n' "${ratios[@]}" | sort -n | head -1)" \
    "$rss" "$(awk -v k="$rss" 'BEGIN {print k / 1024}')"
}

# By default the tool makes its outputs durable (fsync before the rename into
# place), which neither openssl command does; TMD_SYNC=0 leaves the flush to
# the system as they do. Content files go to the device directly either way.
tid=0x0001000100000002
encCmd="openssl enc -aes-128-cbc -nopad -K $key -iv 00000000000000000000000000000000 -in ../in.bin -out enc.bin"
compare "plain layout, 1 GiB: tmd -O vs openssl enc -aes-128-cbc -nopad (goal <= 1.0, RSS <= 16 MiB)" \
  "openssl enc" "$encCmd" "TMD_SYNC=1" -- -O -T $tid -n ../in.bin -c 1 -i 0
compare "plain layout, 1 GiB, TMD_SYNC=0: tmd -O vs openssl enc -aes-128-cbc -nopad" \
  "openssl enc" "$encCmd" "TMD_SYNC=0" -- -O -T $tid -n ../in.bin -c 1 -i 0
compare "disc layout, 1 GiB: tmd -O -d vs openssl sha1 (goal <= 1.0, RSS <= 64 MiB)" \
  "openssl sha1" "openssl sha1 ../in.bin" "TMD_SYNC=1" -- -O -d -T $tid -n ../in.bin -c 1 -i 0
compare "disc layout, 1 GiB, TMD_SYNC=0: tmd -O -d vs openssl sha1" \
  "openssl sha1" "openssl sha1 ../in.bin" "TMD_SYNC=0" -- -O -d -T $tid -n ../in.bin -c 1 -i 0
# 1 GiB of data is 33,826 blocks of 32 KiB in the disc layout. dd writing
# that many bytes straight to the device and flushing them is the floor for
# any program that makes that output durable.
compare "disc layout, 1 GiB: tmd -O -d vs dd writing its 1.03 GiB output directly, with fsync" \
  "dd direct+fsync" "dd if=/dev/zero of=dd.bin bs=2M count=529 oflag=direct conv=fsync status=none" \
  "TMD_SYNC=1" -- -O -d -T $tid -n ../in.bin -c 1 -i 0

inspect_compare
rm -rf "$work/ip" "$work/id"

for i in 0 1 2 3; do dd if=in.bin of=part$i.bin bs=1M count=256 skip=$((i * 256)) status=none; done
for flush in 1 0; do
  echo "== four contents of 256 MiB, disc layout, TMD_SYNC=$flush (contents and super blocks share the cores)"
  sync; sleep 1
  (cd out && TMD_SYNC=$flush /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$bin/tmd" -O -d -T $tid \
    -n ../part0.bin,../part1.bin,../part2.bin,../part3.bin -c 1,2,3,4 -i 0,1,2,3)
  read -r e u s m < time.txt
  printf '  tmd %.2f s wall, %.2f s CPU (%.2f cores busy of %d), peak RSS %.1f MiB\n' "$e" \
    "$(awk -v u="$u" -v s="$s" 'BEGIN {print u + s}')" "$(awk -v u="$u" -v s="$s" -v e="$e" 'BEGIN {print (u + s) / e}')" \
    "$(nproc)" "$(awk -v k="$m" 'BEGIN {print k / 1024}')"
  rm -f out/*
done
rm -f part*.bin

echo "== in memory: openssl speed (16 KiB blocks) vs bench_content (1 MiB, hardware path)"
osl() { openssl speed -seconds 2 -bytes 16384 -evp "$1" 2>/dev/null | awk -v a="$1" 'tolower($1) == tolower(a) {v = $NF} END {sub("k", "", v); printf "%.2f", v * 1000 / 1e9}'; }
aesO=$(osl aes-128-cbc); shaO=$(osl sha1)
if [ -x "$bin/bench_content" ]; then
  bc=$("$bin/bench_content" --benchmark_min_time=0.5 --benchmark_filter='/1$' 2>/dev/null)
  gbs() { echo "$bc" | awk -v n="$1" '$1 == n {for (i = 1; i <= NF; i++) if ($i ~ /bytes_per_second=/) {v = $i; sub("bytes_per_second=", "", v); u = substr(v, length(v) - 2); v = v + 0; if (u == "M/s") v /= 1024; if (u == "T/s") v *= 1024; printf "%.2f", v * 1.073741824}}'; }
  aesT=$(gbs BM_AesCbcEncrypt/1); shaT=$(gbs BM_Sha1/1); engT=$(gbs BM_ContentEngine/1); sbT=$(gbs BM_DiscSuperBlock/1)
  printf '  AES-128-CBC encrypt   openssl %s GB/s   tmd %s GB/s   time ratio %s\n' "$aesO" "$aesT" "$(ratio "$aesO" "$aesT")"
  printf '  SHA-1                 openssl %s GB/s   tmd %s GB/s   time ratio %s\n' "$shaO" "$shaT" "$(ratio "$shaO" "$shaT")"
  printf '  CBC + SHA-1 engine    tmd %s GB/s (one core)   vs openssl AES-CBC alone: ratio %s\n' "$engT" "$(ratio "$aesO" "$engT")"
  printf '  disc super block      tmd %s GB/s (one core)\n' "$sbT"
fi
if [ -x "$bin/bench_ecc" ]; then
  echo "== ECDSA sect233r1: openssl speed ecdsab233 vs bench_ecc"
  openssl speed -seconds 2 ecdsab233 2>/dev/null | grep -E "sign/s|233" | tail -2 | sed 's/^/  openssl: /'
  "$bin/bench_ecc" --benchmark_min_time=0.5 2>/dev/null | grep -E "^BM" | sed 's/^/  bench_ecc: /'
fi
