# The Debian 12 packages each step needs, in one place: scripts/test.sh,
# scripts/demo.sh, scripts/fuzz.sh and .ci/run install from these lists. A
# step that needs a new package adds it to its group here (or adds a group
# and names it where the step calls need_packages).
# Sourced, not run: . scripts/packages.sh; need_packages build test

# Configure and build the programs and libraries (p11-kit, for signing on
# PKCS#11 tokens, is found through pkg-config; toml++ and nlohmann-json read
# and write tmd-batch's manifest, record and report; nlohmann-json also
# tmd-inspect's JSON).
pkgs_build="cmake ninja-build g++ pkg-config libssl-dev libp11-kit-dev libtomlplusplus-dev nlohmann-json3-dev"
# The test suite: GoogleTest, and the independent references it checks
# against (the openssl command line, Python's cryptography, NIST vectors,
# SoftHSM2 as a PKCS#11 token, p11-kit's server and client module for a
# token on another host).
pkgs_test="libgtest-dev openssl python3 python3-cryptography python3-cryptography-vectors softhsm2 p11-kit p11-kit-modules"
# Benchmarks.
pkgs_bench="libbenchmark-dev"
# The constant-time check (scripts/ct_check.sh): valgrind and its headers.
pkgs_ct="valgrind"
# libFuzzer targets.
pkgs_fuzz="clang-14 libclang-rt-14-dev"
# The aarch64 cross build and its emulated test run (scripts/cross-aarch64.sh
# first adds the arm64 architecture to dpkg).
pkgs_cross_aarch64="g++-aarch64-linux-gnu qemu-user libssl-dev:arm64 libgtest-dev:arm64 libp11-kit-dev:arm64 libtomlplusplus-dev:arm64"

# need_packages GROUP...: the packages of the groups that are not installed
# are installed when running as root (apt-get update once, then apt-get
# install); otherwise the command that would install them is printed and
# the call fails.
need_packages() {
  local group pkg missing=()
  command -v dpkg-query >/dev/null || return 0
  for group in "$@"; do
    local list="pkgs_$group"
    for pkg in ${!list}; do
      # One line per installed architecture (libssl-dev:amd64, :arm64, ...).
      if ! dpkg-query -W -f='${db:Status-Status}\n' "$pkg" 2>/dev/null | grep -qx installed; then
        missing+=("$pkg")
      fi
    done
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local install="apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them with (or run this script as root, which does it):" >&2
    echo "  sudo sh -c 'apt-get update && $install'" >&2
    return 1
  fi
  # One line while it works; apt's whole log only when it fails.
  echo "installing ${missing[*]}" >&2
  local log rc=0
  log=$(mktemp) || return 1
  { DEBIAN_FRONTEND=noninteractive apt-get update -q &&
    DEBIAN_FRONTEND=noninteractive $install -q; } >"$log" 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || { echo "installing the packages failed:" >&2; cat "$log" >&2; }
  rm -f "$log"
  return "$rc"
}
