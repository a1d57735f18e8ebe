#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) in build-fuzz/ and runs each one from its seed corpus.
#   scripts/fuzz.sh                 every target for 15 s (CI)
#   scripts/fuzz.sh 600             every target for 10 minutes
#   scripts/fuzz.sh 600 fuzz_sha1   one target
# New inputs go to build-fuzz/corpus/<target>/, crashes to build-fuzz/crashes/;
# the committed seeds in fuzz/corpus/ are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages build fuzz
seconds=${1:-15}
shift || true
dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${JOBS:-2}
cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}
cc=${FUZZ_CC:-$(command -v clang-14 || command -v clang)}

if [ ! -f "$dir/build.ninja" ]; then
  CC=$cc CXX=$cxx cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
[ -n "${FUZZ_SKIP_BUILD:-}" ] || cmake --build "$dir" -j"$jobs" --target fuzz_all

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_rsa_keyfile fuzz_cert_verify fuzz_tmd_dump fuzz_record_import
           fuzz_ecc_octets fuzz_content_engine fuzz_disc_engine fuzz_sha1 fuzz_numbers
           fuzz_pkcs11_uri fuzz_inspect_input)
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
mkdir -p "$dir/crashes"
status=0
# run_target TARGET LABEL [VAR=value...]
run_target() {
  local t=$1 label=$2
  shift 2
  mkdir -p "$dir/corpus/$t"
  # -timeout: a single input running longer than that is a hang and fails.
  local extra=()
  case $t in
    fuzz_disc_engine) extra=(-max_len=64 -rss_limit_mb=4096) ;;
    fuzz_ecc_octets) extra=(-max_len=1300) ;;
  esac
  echo "== $label (${seconds}s)"
  if ! env "$@" "$dir/bin/$t" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
       -artifact_prefix="$dir/crashes/$label-" "${extra[@]}" \
       "$dir/corpus/$t" "fuzz/corpus/$t" >"$dir/$label.log" 2>&1; then
    echo "$label FAILED (log: $dir/$label.log)"
    tail -n 40 "$dir/$label.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$dir/$label.log" | tr '\n' ' '
    echo
  fi
}
for t in "${targets[@]}"; do
  run_target "$t" "$t"
  # The engines choose processor-specific code at run time; the portable
  # code gets its own run.
  case $t in
    fuzz_content_engine|fuzz_disc_engine|fuzz_sha1)
      run_target "$t" "$t-portable" TMD_CPU_DISABLE=all ;;
  esac
done
exit $status
