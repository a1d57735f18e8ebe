#!/usr/bin/python3
"""Independent check of a disc-layout encryption.

usage: check_disc_layout.py PLAIN APP HASHFILE KEYHEX CONTENTHASHHEX

Rebuilds the hash tree of every super block of PLAIN with hashlib, decrypts
every block of APP with the cryptography package's AES-CBC, and compares the
hash blocks, the data, the hash file and the content hash. Prints "ok" and
exits 0, or prints the first mismatch and exits 1.
"""
import hashlib
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

SUPER = 2031616
BLOCK_DATA = 31744
CHUNK = 1024
HASH_BLOCK = 1024
TABLE = 98304


def sha1(b):
    return hashlib.sha1(b).digest()


def decrypt(key, iv, data):
    d = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    return d.update(data) + d.finalize()


def fail(msg):
    print(msg)
    sys.exit(1)


def main():
    plain_path, app_path, hash_path, key_hex, content_hex = sys.argv[1:6]
    key = bytes.fromhex(key_hex)
    plain = open(plain_path, "rb").read()
    app = open(app_path, "rb").read()
    hash_file = open(hash_path, "rb").read()

    supers = (len(plain) + SUPER - 1) // SUPER
    table = b""
    pos = 0
    for s in range(supers):
        data = plain[s * SUPER:(s + 1) * SUPER]
        padded = data.ljust(SUPER, b"\0")
        chunks = [sha1(padded[i:i + CHUNK]) for i in range(0, SUPER, CHUNK)]
        blocks = [sha1(b"".join(chunks[b * 31:(b + 1) * 31])) for b in range(64)]
        groups = [sha1(b"".join(blocks[g * 8:(g + 1) * 8])) for g in range(8)]
        table += sha1(b"".join(groups))
        for b in range((len(data) + BLOCK_DATA - 1) // BLOCK_DATA):
            enc_hb = app[pos:pos + HASH_BLOCK]
            enc_data = app[pos + HASH_BLOCK:pos + HASH_BLOCK + BLOCK_DATA]
            pos += HASH_BLOCK + BLOCK_DATA
            if len(enc_data) != BLOCK_DATA:
                fail("encrypted file too short at super block %d block %d" % (s, b))
            want_hb = (b"".join(chunks[b * 31:(b + 1) * 31]) + bytes(20) +
                       b"".join(blocks[(b // 8) * 8:(b // 8) * 8 + 8]) + bytes(32) +
                       b"".join(groups) + bytes(32))
            if decrypt(key, bytes(16), enc_hb) != want_hb:
                fail("hash block of super block %d block %d differs" % (s, b))
            if decrypt(key, enc_hb[976:992], enc_data) != padded[b * BLOCK_DATA:(b + 1) * BLOCK_DATA]:
                fail("data of super block %d block %d differs" % (s, b))
    if pos != len(app):
        fail("encrypted file has %d bytes, expected %d" % (len(app), pos))
    # A content that ends on a super-block boundary ends with an empty read
    # that takes one all-zero slot.
    want_file = table + (bytes(20) if len(plain) % SUPER == 0 else b"")
    if hash_file != want_file:
        fail("hash file differs (%d bytes, expected %d)" % (len(hash_file), len(want_file)))
    if sha1(table.ljust(TABLE, b"\0")).hex() != content_hex:
        fail("content hash differs")
    print("ok")


main()
