#!/usr/bin/env bash
# The crypto support library's AES against its peers, from one run:
#   bench/compare_csl.sh <build-dir>
# - the CBC encryption loop (block by block, and the one-shot call with its
#   key expansion) against `openssl speed -evp aes-128-cbc`, 16 KiB buffers
#   (goal: ratio >= 1.0); the CBC+SHA-1 content engine beside them;
# - the constant-time bitsliced AES (the path without AES instructions)
#   against a plain T-table AES compiled the same way (bench/ttable_aes.h):
#   CBC encryption (goal >= 0.25), CBC decryption and the disc layout's side
#   by side chains (goal >= 0.6).
# Each ratio is speed of ours / speed of the peer. openssl runs before and
# after the benchmarks and its mean is used. Run it on an otherwise idle
# machine.
set -euo pipefail
build=$(cd "${1:?usage: compare_csl.sh <build-dir>}" && pwd)
for p in bench_aes bench_content; do
  [ -x "$build/bin/$p" ] || { echo "missing $build/bin/$p (configure with the benchmarks)" >&2; exit 1; }
done

# openssl speed in bytes per second at 16 KiB.
osl() {
  openssl speed -seconds 3 -bytes 16384 -evp aes-128-cbc 2>/dev/null |
    awk 'tolower($1) == "aes-128-cbc" {v = $NF} END {sub("k", "", v); printf "%.0f", v * 1000}'
}
# bytes_per_second of each benchmark, as "name value" lines: the best of
# seven repetitions, run in random order so that a slow spell of the
# machine falls on both sides of a ratio alike.
bench() {
  "$build/bin/$1" --benchmark_min_time=0.2 --benchmark_repetitions=7 \
    --benchmark_enable_random_interleaving=true --benchmark_format=csv \
    --benchmark_filter="$2" 2>/dev/null |
    awk -F, 'NR > 1 && $6 != "" && $1 !~ /_(mean|median|stddev|cv)"$/ {
               gsub("\"", "", $1); if ($6 > best[$1]) best[$1] = $6 }
             END {for (n in best) printf "%s %s\n", n, best[n]}'
}
o1=$(osl)
results=$(bench bench_aes '.'; bench bench_content 'BM_ContentEngine/1')
o2=$(osl)
speed() { echo "$results" | awk -v n="$1" '$1 == n {print $2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }
gbs() { awk -v a="$1" 'BEGIN {printf "%.3f GB/s", a / 1e9}'; }
osslMean=$(awk -v a="$o1" -v b="$o2" 'BEGIN {printf "%.0f", (a + b) / 2}')

echo "== AES-128-CBC encryption, 16 KiB: ours / openssl speed -evp aes-128-cbc (goal >= 1.0)"
printf '  openssl speed                %s (runs: %s, %s)\n' "$(gbs "$osslMean")" "$(gbs "$o1")" "$(gbs "$o2")"
for n in BM_CbcEncrypt/1:"CBC loop (aesBlockEncrypt)" BM_SwEncrypt/1:"aes_SwEncrypt (one-shot)" \
         BM_ContentEngine/1:"CBC + SHA-1 content engine"; do
  s=$(speed "${n%%:*}")
  printf '  %-28s %s   ratio %s\n' "${n#*:}" "$(gbs "$s")" "$(ratio "$s" "$osslMean")"
done

echo "== bitsliced AES-128 (no AES instructions) / T-table AES-128"
for n in "BM_CbcEncrypt/0 BM_TableCbcEncrypt CBC_encryption 0.25" \
         "BM_CbcDecrypt/0 BM_TableCbcDecrypt CBC_decryption 0.6" \
         "BM_Lanes/0 BM_TableLanes 64_side-by-side_chains 0.6"; do
  set -- $n
  a=$(speed "$1"); b=$(speed "$2")
  printf '  %-24s bitsliced %s   table %s   ratio %s (goal >= %s)\n' "${3//_/ }" "$(gbs "$a")" \
    "$(gbs "$b")" "$(ratio "$a" "$b")" "$4"
done
