#!/usr/bin/python3
"""Reference results for the digit-array arithmetic, from Python integers.

Prints one case per line: an operation name followed by numbers in hex, each
exactly 8 hex characters per digit, so the digit count is implied by the
length. Digits are drawn from a mix that favours the values where carries,
borrows and quotient corrections happen (0, 1, all ones, top bit only).
"""
import math
import random
import sys

rng = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 1209)
SPECIAL = [0, 1, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 0xFFFFFFFE, 0x00010000, 0xFFFF0000]


def digit():
    r = rng.random()
    if r < 0.35:
        return rng.choice(SPECIAL)
    return rng.getrandbits(32)


def number(n, top_nonzero=False):
    ds = [digit() for _ in range(n)]
    if top_nonzero and n and ds[-1] == 0:
        ds[-1] = rng.getrandbits(32) | 1
    return sum(d << (32 * i) for i, d in enumerate(ds))


def hx(v, n):
    assert 0 <= v < (1 << (32 * n)), (v, n)
    return format(v, "0%dx" % (8 * n)) if n else ""


def emit(*parts):
    print(" ".join(p if p != "" else "-" for p in parts))


def sizes(lo, hi):
    return rng.choice([lo, lo + 1, hi, hi - 1, rng.randint(lo, hi)])


for _ in range(400):
    n = sizes(1, 129)
    b, c = number(n), number(n)
    emit("add", hx(b, n), hx(c, n), hx((b + c) % (1 << 32 * n), n), hx((b + c) >> 32 * n, 1))
    borrow = 1 if b < c else 0
    emit("sub", hx(b, n), hx(c, n), hx((b - c) % (1 << 32 * n), n), hx(borrow, 1))
    emit("mul", hx(b, n), hx(c, n), hx(b * c, 2 * n))
    bits = rng.randint(0, 31)
    emit("shl", hx(b, n), hx(bits, 1), hx((b << bits) % (1 << 32 * n), n),
         hx(b >> (32 * n - bits) if bits else 0, 1))
    emit("shr", hx(b, n), hx(bits, 1), hx(b >> bits, n),
         hx(((b & ((1 << bits) - 1)) << (32 - bits)) if bits else 0, 1))

# Two-digit by one-digit division: normalised divisor, high digit below it.
for _ in range(3000):
    x = digit() | 0x80000000
    hi = rng.choice([x - 1, x - 2, 0, rng.randrange(x)])
    lo = digit()
    emit("ddiv", hx((hi << 32) | lo, 2), hx(x, 1), hx(((hi << 32) | lo) // x, 1))

for _ in range(1500):
    dn = sizes(1, 129)
    d = number(dn)
    if d == 0:
        d = 1
    pad = rng.choice([0, 0, 1, 3])  # divisors passed with leading zero digits
    # Sometimes a dividend shorter than the divisor's digit count.
    cn = rng.choice([rng.randint(dn, min(258, 2 * dn + 2)), max(0, dn - 1), dn, 2 * dn])
    cn = min(cn, 258)
    c = number(cn)
    if rng.random() < 0.3 and cn >= dn:
        # Dividends just below / at multiples of the divisor stress the
        # quotient-digit corrections.
        k = c // d
        c = max(0, k * d - rng.choice([0, 1])) % (1 << 32 * cn)
    emit("div", hx(c, cn), hx(d, dn + pad), hx(c // d, cn), hx(c % d, dn + pad))

for _ in range(150):
    n = sizes(1, 129)
    d = number(n, top_nonzero=True)
    b, c = number(n) % d, number(n) % d
    emit("mmul", hx(b, n), hx(c, n), hx(d, n), hx(b * c % d, n))

for _ in range(60):
    n = rng.choice([1, 2, 8, 9, 33, 64, 128, 129, rng.randint(1, 129)])
    d = number(n, top_nonzero=True)
    b = number(n)
    en = rng.choice([0, 1, 2, 3, rng.randint(1, 8)])
    e = rng.choice([0, 1, 2, 3, 65537, number(en)]) % (1 << 32 * en) if en else 0
    emit("exp", hx(b, n), hx(e, en), hx(d, n), hx(pow(b, e, d) if e else 1, n))

for _ in range(300):
    n = rng.randint(1, 8)
    c = number(n, top_nonzero=True) | 1
    if c < 3:
        c = 3
    b = number(n) % c
    if b == 0 or math.gcd(b, c) != 1:
        continue
    emit("inv", hx(b, n), hx(c, n), hx(pow(b, -1, c), n))
