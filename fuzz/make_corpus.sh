#!/usr/bin/env bash
# Rebuilds the seed corpora in fuzz/corpus/ from real outputs of the tool and
# the libraries: a development PKI, packaged titles (plain and disc layout)
# with their content records, RSA key files, and sect233r1 keys and
# signatures made by python3-cryptography.
#   fuzz/make_corpus.sh BUILD_DIR     (a release build with bin/tmd, bin/tmd-pki)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1" && pwd)/bin
corpus=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -rf "$corpus"
mkdir -p "$corpus"/{fuzz_rsa_keyfile,fuzz_cert_verify,fuzz_tmd_dump,fuzz_record_import,fuzz_ecc_octets,fuzz_content_engine,fuzz_disc_engine,fuzz_sha1,fuzz_numbers,fuzz_pkcs11_uri,fuzz_inspect_input}

"$bin/tmd-pki" init "$work/pki" >/dev/null
pki=$work/pki/X86/bin/pki_data
mkdir "$work/out"
cd "$work/out"
head -c 40000 /dev/urandom >a.bin
head -c 100 /dev/urandom >b.bin
: >empty.bin
export KESSARIVON_SDK_ROOT=$work/pki
"$bin/tmd" -O -T 0x0001000100000002 -n a.bin,b.bin,empty.bin -c 0x10,0x11,0x12 -i 0,2,1 -t 1,0x8001,3 -a >/dev/null
cp 1000100000002.tmd "$corpus/fuzz_tmd_dump/plain3.tmd"
"$bin/tmd" -O -T 0x0001000400000009 -n b.bin -c 0x1f -i 0 -d -a >/dev/null
cp 1000400000009.tmd "$corpus/fuzz_tmd_dump/disc1.tmd"
"$bin/tmd" -O -T 0x0001000500000001 -n a.bin -c 0x30 -i 1 -A 10.cmd -a >/dev/null
cp 1000500000001.tmd "$corpus/fuzz_tmd_dump/import.tmd"

# Key files: the development keys and small ones that make signing cheap.
cp "$pki/cp_dpki.rsa" "$corpus/fuzz_rsa_keyfile/cp2048.rsa"
"$bin/tmd-pki" rsa-key "$corpus/fuzz_rsa_keyfile/labelled.rsa" --label fuzzkey
openssl genrsa -out "$work/k512.pem" 512 2>/dev/null
"$bin/tmd-pki" convert-pem "$work/k512.pem" "$corpus/fuzz_rsa_keyfile/k512.rsa"

# Certificates with the TMD they verify (and one they do not), followed by
# the steering bytes the target reads from the end: signature length 256,
# from a certificate, one of the known sizes, 768.
steer() { printf '\x02\x01\x01\x01'; }
{ cat "$pki/cp_dpki.cert" 1000100000002.tmd; steer; } >"$corpus/fuzz_cert_verify/cp768_tmd"
{ cat "$pki/ca_dpki.cert" 1000400000009.tmd; steer; } >"$corpus/fuzz_cert_verify/ca_tmd"
"$bin/tmd-pki" ecc-key "$work/dev.priv" "$work/dev.pub" >/dev/null
"$bin/tmd-pki" cert "$work/dev.cert" --name DV00000001 --issuer Root-CA00000001-MS00000002 \
  --ecc-public "$work/dev.pub" --sign-ecc "$work/dev.priv" >/dev/null
{ cat "$work/dev.cert" "$work/dev.pub"; printf '\x02\x01\x00\x04'; } >"$corpus/fuzz_cert_verify/device384"

# Content records and lists: 36-byte records as exported, then steering.
for f in *.cmd; do cat "$f"; done >"$corpus/fuzz_record_import/records"
printf '\x02\x00\x01\x00\x00\x00\x01\x00\x02\x01\x03' >"$corpus/fuzz_record_import/small"

# ECC: digest | public key | signature | private key | nonce | table, with
# real keys and signatures from python3-cryptography.
/usr/bin/python3 - "$corpus/fuzz_ecc_octets" <<'PY'
import hashlib, os, sys
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.hazmat.primitives import hashes
out = sys.argv[1]
for n in range(4):
    key = ec.generate_private_key(ec.SECT233R1())
    peer = ec.generate_private_key(ec.SECT233R1())
    msg = os.urandom(32)
    r, s = decode_dss_signature(key.sign(msg, ec.ECDSA(hashes.SHA1())))
    pub = key.public_key().public_numbers()
    d = key.private_numbers().private_value
    e = peer.private_numbers().private_value
    blob = (hashlib.sha1(msg).digest() + pub.x.to_bytes(30, "big") + pub.y.to_bytes(30, "big")
            + r.to_bytes(30, "big") + s.to_bytes(30, "big") + d.to_bytes(30, "big")
            + e.to_bytes(30, "big") + bytes(960) + bytes([20]))
    open(f"{out}/pair{n}", "wb").write(blob)
PY

# Engines: key, steering and piece sizes; the contents are generated.
head -c 64 /dev/urandom >"$corpus/fuzz_content_engine/random64"
printf '0123456789abcdef\x00\x05\x10\x27\x01\x02\x03\x04\x05\x06' >"$corpus/fuzz_content_engine/small"
head -c 48 /dev/urandom >"$corpus/fuzz_disc_engine/random48"
printf '0123456789abcdef\x01\x00\x00\x10\x00\x00\x01' >"$corpus/fuzz_disc_engine/boundary"
cp 1000100000002.tmd "$corpus/fuzz_sha1/tmd"
head -c 200 a.bin >"$corpus/fuzz_sha1/random200"
printf 'abc' >"$corpus/fuzz_sha1/abc"
# A whole package as tmd-inspect reads it: TMD | cp cert | CA cert | title key
# | hash file | content file, then the four part lengths (hash, CA, cp, TMD),
# each two bytes little-endian, that the target reads from the end.
package() {  # OUT TMD HASHFILE APP TID
  /usr/bin/python3 - "$@" "$pki" <<'PY'
import hashlib, struct, sys
out, tmd, hashfile, app, tid, pki = sys.argv[1:]
part = lambda p: open(p, "rb").read() if p else b""
t, cp, ca, h = part(tmd), part(pki + "/cp_dpki.cert"), part(pki + "/ca_dpki.cert"), part(hashfile)
key = hashlib.md5(("%016x" % int(tid, 16) + "qentor").encode()).digest()
tail = b"".join(struct.pack("<H", len(x)) for x in (h, ca, cp, t))
open(out, "wb").write(t + cp + ca + key + h + part(app) + tail)
PY
}
package "$corpus/fuzz_inspect_input/plain3" 1000100000002.tmd "" 00000011.app 0x0001000100000002
package "$corpus/fuzz_inspect_input/disc1" 1000400000009.tmd 0000001f.hash 0000001f.app 0x0001000400000009
# URIs: the PIN's characters, a '\' ending them, the text; the separator and
# the position come from the end.
printf 'pin7c1e\\ pkcs11:token=publisher;object=cp;type=private?module-name=softhsm2&\x00\x03\x01' \
  >"$corpus/fuzz_pkcs11_uri/path_query"
printf '1234\\ token=a%%20b;id=%%01%%02?module-path=/usr/lib/x.so&pin-source=file:/p\x00\x30\x00\x02' \
  >"$corpus/fuzz_pkcs11_uri/encoded"
printf 'S\\ token=publisher?module-name=softhsm2\x00\x00\x01\x02' >"$corpus/fuzz_pkcs11_uri/semicolon"
# Option numbers as they appear on command lines.
cd "$corpus/fuzz_numbers"
printf '0x0001000100000002' >tid; printf '  -010' >octal; printf '12abc' >trailing
printf '99999999999999999999999' >huge; printf '0x' >prefix; printf '65538' >group
echo "corpora in $corpus"
