#!/usr/bin/python3
"""Prints the modulus, public and private exponent of a PEM RSA key as
big-endian hex, each padded to the modulus length: "n <hex>", "e <hex>",
"d <hex>"."""
import sys

from cryptography.hazmat.primitives import serialization

with open(sys.argv[1], "rb") as f:
    key = serialization.load_pem_private_key(f.read(), password=None)
nums = key.private_numbers()
k = (key.key_size + 7) // 8
for name, v in (("n", nums.public_numbers.n), ("e", nums.public_numbers.e), ("d", nums.d)):
    print(name, v.to_bytes(k, "big").hex())
