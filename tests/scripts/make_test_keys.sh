#!/bin/sh
# Makes the keys the test programs share, once per test run: a development
# PKI (DIR/pki, the KESSARIVON_SDK_ROOT layout) and RSA-2048 and RSA-4096
# private keys as PEM files from the openssl command line (DIR/rsa2048.pem,
# DIR/rsa4096.pem).
#   make_test_keys.sh DIR TMD_PKI_PROGRAM
set -eu
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
"$2" init "$dir/pki" >/dev/null
for bits in 2048 4096; do
  openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:$bits" -out "$dir/rsa$bits.pem" 2>/dev/null
done
