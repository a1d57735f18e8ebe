"""Independent sect233r1 reference for the ECC tests.

Reads one command per line on standard input and answers each with one line:
  mul K                       -> X Y   of (K mod n)*G, "0 0" for infinity
  pub D                       -> X Y   public key of private key D
  sign D DIGEST               -> R S   ECDSA over the 20-byte SHA-1 DIGEST
  verify X Y DIGEST R S       -> 1 valid, 0 not
  ecdh D X Y                  -> the 30-byte x coordinate of D*(X, Y)
All numbers are hexadecimal without a prefix.
"""
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils

CURVE = ec.SECT233R1()
N = 0x1000000000000000000000000000013E974E72F8A6922031D2603CFE0D7


def public_point(k):
    k %= N
    if k == 0:
        return 0, 0
    nums = ec.derive_private_key(k, CURVE).public_key().public_numbers()
    return nums.x, nums.y


def main():
    out = []
    for line in sys.stdin:
        parts = line.split()
        if not parts:
            continue
        cmd = parts[0]
        if cmd in ("mul", "pub"):
            x, y = public_point(int(parts[1], 16))
            out.append("%x %x" % (x, y))
        elif cmd == "sign":
            key = ec.derive_private_key(int(parts[1], 16), CURVE)
            der = key.sign(bytes.fromhex(parts[2]), ec.ECDSA(utils.Prehashed(hashes.SHA1())))
            r, s = utils.decode_dss_signature(der)
            out.append("%x %x" % (r, s))
        elif cmd == "verify":
            x, y, r, s = (int(parts[i], 16) for i in (1, 2, 4, 5))
            pub = ec.EllipticCurvePublicNumbers(x, y, CURVE).public_key()
            try:
                pub.verify(utils.encode_dss_signature(r, s), bytes.fromhex(parts[3]),
                           ec.ECDSA(utils.Prehashed(hashes.SHA1())))
                out.append("1")
            except InvalidSignature:
                out.append("0")
        elif cmd == "ecdh":
            key = ec.derive_private_key(int(parts[1], 16), CURVE)
            peer = ec.EllipticCurvePublicNumbers(int(parts[2], 16), int(parts[3], 16),
                                                 CURVE).public_key()
            out.append(key.exchange(ec.ECDH(), peer).hex())
        else:
            out.append("error")
    sys.stdout.write("\n".join(out) + ("\n" if out else ""))


if __name__ == "__main__":
    main()
