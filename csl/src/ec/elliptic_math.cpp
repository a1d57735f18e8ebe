// Affine point arithmetic and scalar multiplication on sect233r1.
#include "csl/elliptic_math.h"

#include <array>
#include <cstring>

#include "csl/wipe.h"
#include "csl/ct.h"

const ec_curve named_curve = {
    1,
    {0, 0, 0, 0, 0, 0, 0, 1},
    {0x00000066, 0x647EDE6C, 0x332C7F8C, 0x0923BB58, 0x213B333B, 0x20E9CE42, 0x81FE115F,
     0x7D8F90AD},
};

const ec_point named_point = {
    {0x000000FA, 0xC9DFCBAC, 0x8313BB21, 0x39F1BB75, 0x5FEF65BC, 0x391F8B36, 0xF8F8EB73,
     0x71FD558B},
    {0x00000100, 0x6A08A419, 0x03350678, 0xE58528BE, 0xBF8A0BEF, 0xF867A7CA, 0x36716F7E,
     0x01F81052},
};

// The comb table of G; the tests rebuild it from G with do_precompute_four.
const comb4_table precomputed_bp = {
    {{0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000},
     {0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000}},
    {{0x000000FA, 0xC9DFCBAC, 0x8313BB21, 0x39F1BB75, 0x5FEF65BC, 0x391F8B36, 0xF8F8EB73, 0x71FD558B},
     {0x00000100, 0x6A08A419, 0x03350678, 0xE58528BE, 0xBF8A0BEF, 0xF867A7CA, 0x36716F7E, 0x01F81052}},
    {{0x00000123, 0xD731A036, 0x6B9ED354, 0x2323A649, 0x7CF718AB, 0x012FE27B, 0x5CB0F320, 0xF7B10AED},
     {0x00000163, 0x6760CE8F, 0x4EAAE9BA, 0xF12A1514, 0x67A7B3F4, 0xB92A0E61, 0xFA190593, 0x00100A80}},
    {{0x000001C6, 0x40B411FE, 0xA77C6CDC, 0x4A587FC3, 0x46A40358, 0x7856EDB0, 0x193EA71F, 0xA7524B93},
     {0x00000104, 0xA659102F, 0x034B0BB8, 0xAFB5AFA6, 0x1B8ADF8C, 0xB6CCA538, 0x631BF941, 0x3C5D1BFA}},
    {{0x00000084, 0xC44003BB, 0x3DA842D2, 0x7022EF1C, 0x3264A00E, 0x70ED2F1A, 0x42027637, 0xE48A3A6D},
     {0x0000007B, 0x91E07DD6, 0x9EF7F6A2, 0xE1F72622, 0x135F0D1D, 0xBBCC886E, 0x85CCD0F7, 0xDA1F6D98}},
    {{0x00000096, 0x15D88A99, 0xCEB0B782, 0xC4794801, 0xE0378BFB, 0x96B102BE, 0x4D8BC62B, 0xF640FD06},
     {0x000001D2, 0xA79FA10B, 0x9E8D0426, 0xB22D2DB7, 0x410004C8, 0xC5EF7BCA, 0x4BD020A2, 0x7BC255C3}},
    {{0x000000F8, 0x9335641A, 0x6D52D1B7, 0x1FE5286A, 0xB5D18EB1, 0xB2A6BF0A, 0x47E4A3FB, 0x95B18299},
     {0x00000114, 0x011918FC, 0xE2AFB564, 0x384E6A3F, 0x4FA20321, 0xF7DCE7E2, 0x316149DD, 0x83816459}},
    {{0x0000000D, 0xB61258CA, 0x728A0565, 0x128EA0F8, 0x3A67E3E7, 0xCB752032, 0x1D1B0144, 0x2E390E0F},
     {0x0000008A, 0x90174EC0, 0x8BCAEF7C, 0xAFEDB681, 0x3817F429, 0x9167BB6D, 0x5345180F, 0x9F17791D}},
    {{0x00000041, 0xA7AB0B40, 0x47234421, 0x54A87FC5, 0x8278556D, 0x83618E53, 0x1F9C4C7C, 0x3816C879},
     {0x000000BA, 0x7A211A5D, 0xBC8DE196, 0x48A65332, 0x907318E2, 0xD9205A76, 0xC64A2DA1, 0x9F6972F2}},
    {{0x00000122, 0x9A00CA04, 0x6DC401BE, 0x2335BB37, 0x59C7C243, 0xF884DEA8, 0xD835DFED, 0x00EABD47},
     {0x00000082, 0xFBE8C10B, 0x7532AC2B, 0x6BE6DB88, 0xEBCC7739, 0x2B267E5E, 0xA23A88EA, 0x69DA2F73}},
    {{0x00000100, 0x85E45B07, 0xE6EF1D6E, 0x87D6D582, 0x623DB5D0, 0x65182781, 0xE5C3F825, 0x138AD7E8},
     {0x0000019F, 0xF9609CD0, 0x4C8FA4C5, 0x9862E9CB, 0x864F72D4, 0x362665DD, 0xC30643DB, 0x59E4B08A}},
    {{0x0000017F, 0xCD50381E, 0xA66DF765, 0x5CF43CF7, 0x3D0788A6, 0x8938B3E5, 0x5012DF2B, 0x8C1589E5},
     {0x00000017, 0xF5719186, 0xD0EEFC0C, 0x4AAC1FD7, 0x95CE8EDA, 0x81D8B45A, 0x3B132EE2, 0x770851D2}},
    {{0x000000C1, 0x4B5349C9, 0x4C748262, 0xE39E7051, 0x71E5A2E8, 0xAF258BC9, 0x7EFA83EB, 0x8ED8777E},
     {0x0000019E, 0x923CAF64, 0x5601AF9B, 0x0F5D1C6C, 0x48DE1EE6, 0xF438E699, 0x0E0A7651, 0xF834CFD1}},
    {{0x00000156, 0x0A419BC4, 0x84828AE2, 0xD0114081, 0x00697D40, 0xC2BB840A, 0xB626775F, 0x40955DDE},
     {0x000001E0, 0xAFCB6B6A, 0x2EFB3AE6, 0x68EC3FAC, 0x4D9524B9, 0x8503E4FE, 0x3D0C3039, 0xBF9410AC}},
    {{0x00000149, 0x9459C5B9, 0x935F6C3B, 0x223FE1C0, 0x76CCB5E9, 0x9D810FBB, 0x8D051E14, 0x3FC6AD47},
     {0x00000119, 0x7D175B61, 0x4DA9494C, 0x3FE040B9, 0x43017773, 0xD2061EA2, 0xE9C9356C, 0xFF0F3D83}},
    {{0x0000010B, 0x47A49B1F, 0xF7C75C45, 0xA9D578F2, 0xB07CC152, 0x80B18075, 0x9AE882B1, 0x8BC66C86},
     {0x000001B4, 0xD626657D, 0x510FDCF0, 0xC0CFF138, 0x75653E50, 0xD1465CC5, 0x49571CDA, 0x0EC46B60}},
};

namespace {

// All bytes 0xFF: x has bits above bit 232, which no reduced point has, so
// the first multiplication in a thread always builds the table.
constexpr ec_point emptyCachePoint() {
    ec_point p{};
    for (auto& w : p.x) w = 0xFFFFFFFFu;
    for (auto& w : p.y) w = 0xFFFFFFFFu;
    return p;
}

}  // namespace

// One cached point and table per thread, so that threads never see each
// other's half-written table.
static thread_local ec_point precomputed_signer = emptyCachePoint();
static thread_local comb2_table precomputed_pk = {emptyCachePoint(), emptyCachePoint(),
                                                  emptyCachePoint(), emptyCachePoint()};

namespace {

bool pointsEqual(const ec_point* a, const ec_point* b) {
    return poly_equal(a->x, b->x) && poly_equal(a->y, b->y);
}

void setInfinity(ec_point* R) {
    poly_null(R->x);
    poly_null(R->y);
}

// 1 << bit of a 256-bit scalar stored most significant word first.
unsigned scalarBit(const field_element k, unsigned bit) {
    return (k[7 - bit / 32] >> (bit % 32)) & 1u;
}

// Signed binary digits of k, least significant first, each in {-1, 0, +1},
// no two adjacent non-zero. Returns the digit count (at most 257).
int nafRecode(const field_element k, int8_t digits[260]) {
    // One spare word above the scalar: a -1 digit on a run of ones carries
    // past the top bit (2^256 - 1 becomes 2^256).
    uint32_t K[9];
    K[0] = 0;
    for (int i = 0; i < 8; ++i) K[i + 1] = k[i];
    int count = 0;
    for (;;) {
        uint32_t any = 0;
        for (uint32_t w : K) any |= w;
        if (any == 0) break;
        int8_t d = 0;
        if (K[8] & 1u) {
            if ((K[8] & 3u) == 1u) {
                d = 1;
                K[8] &= ~1u;
            } else {
                d = -1;
                for (int i = 8; i >= 0; --i)
                    if (++K[i] != 0) break;
            }
        }
        digits[count++] = d;
        for (int i = 8; i > 0; --i) K[i] = (K[i] >> 1) | (K[i - 1] << 31);
        K[0] >>= 1;
    }
    csl_wipe(K, sizeof K);
    return count;
}

// Lopez-Dahab projective coordinates for the scalar multiplications:
// (X, Y, Z) stands for the affine point (X/Z, Y/Z^2); Z = 0, and X = Y = 0,
// stand for the point at infinity. The formulas below are the affine ones
// (which use the curve's a and never its b) rewritten over a common
// denominator, with their special cases taken the same way, so results equal
// those of the affine formulas step for step.
struct LdPoint {
    field_element X, Y, Z;
};

bool isOne(const field_element e) {
    uint32_t acc = e[7] ^ 1u;
    for (int i = 0; i < 7; ++i) acc |= e[i];
    return acc == 0;
}

// t := a * v, skipping the product for the usual a = 1 (and a = 0). The
// curve is public.
void mulByA(const ec_curve* curve, const field_element v, field_element t) {
    if (isOne(curve->a))
        poly_copy(v, t);
    else if (poly_is_zero(curve->a))
        poly_null(t);
    else
        poly_mul(curve->a, v, t);
}

// All ones when e is zero.
uint32_t zeroMask(const field_element e) {
    uint32_t acc = 0;
    for (int i = 0; i < FIELD_WORDS; ++i) acc |= e[i];
    return csl_ct_is_zero_mask(acc);
}

// dst := src where mask is all ones; no branch.
void cmov(field_element dst, const field_element src, uint32_t mask) {
    for (int i = 0; i < FIELD_WORDS; ++i) dst[i] ^= (dst[i] ^ src[i]) & mask;
}

void ldSetInfinity(LdPoint* P) {
    poly_null(P->X);
    poly_null(P->Y);
    poly_null(P->Z);
    P->X[7] = 1;
}

void ldFromAffine(const ec_point* P, LdPoint* R) {
    poly_copy(P->x, R->X);
    poly_copy(P->y, R->Y);
    poly_null(R->Z);
    R->Z[7] = 1;  // (0, 0, 1) is the point at infinity as well
}

// The inversion of 0 gives 0, so infinity becomes (0, 0) without a branch.
// The default inversion is constant time; public points may pass the faster
// variable-time one.
void ldToAffine(const LdPoint* P, ec_point* R,
                void (*invert)(const field_element, field_element) = poly_inv) {
    field_element zi, zi2;
    invert(P->Z, zi);
    poly_mul(zi, zi, zi2);
    poly_mul(P->X, zi, R->x);
    poly_mul(P->Y, zi2, R->y);
}

// lambda = (X^2 + Y)/(XZ); with A = XZ, C = X^2 + Y:
// Z3 = A^2, X3 = C (C + A) + a Z3, Y3 = X^4 Z3 + A (C + A) X3.
// x = 0 (the point of order two) and the point at infinity give A = 0, hence
// Z3 = 0: infinity, as the affine doubling does. No branch.
void ldDouble(LdPoint* P, const ec_curve* curve) {
    field_element B, A, C, t;
    poly_mul(P->X, P->X, B);
    poly_mul(P->X, P->Z, A);
    poly_add(B, P->Y, C);
    poly_mul(A, A, P->Z);
    poly_add(C, A, t);
    poly_mul(C, t, C);
    mulByA(curve, P->Z, P->X);
    poly_add(P->X, C, P->X);
    poly_mul(A, t, A);
    poly_mul(A, P->X, A);
    poly_mul(B, B, B);
    poly_mul(B, P->Z, B);
    poly_add(B, A, P->Y);
}

void ldCmov(LdPoint* dst, const LdPoint* src, uint32_t mask) {
    cmov(dst->X, src->X, mask);
    cmov(dst->Y, src->Y, mask);
    cmov(dst->Z, src->Z, mask);
}

// 2Q for an affine Q, as the case P = Q of the addition below needs.
void ldDoubleAffine(const ec_point* Q, LdPoint* R, const ec_curve* curve) {
    ldFromAffine(Q, R);
    ldDouble(R, curve);
}

// P := P + Q with Q affine and Qd = 2Q. Every case of the affine addition
// (P or Q at infinity, P = Q, P = -Q) is computed and the right result picked
// with masks, so the work is the same whatever the points.
void ldAddMixed(LdPoint* P, const ec_point* Q, const LdPoint* Qd, const ec_curve* curve) {
    const uint32_t qInf = zeroMask(Q->x) & zeroMask(Q->y);
    const uint32_t pInf = zeroMask(P->Z) | (zeroMask(P->X) & zeroMask(P->Y));
    field_element A, B, C, D, E, z2, t;
    LdPoint R;
    poly_mul(P->Z, P->Z, z2);
    poly_mul(Q->y, z2, A);
    poly_add(A, P->Y, A);
    poly_mul(Q->x, P->Z, B);
    poly_add(B, P->X, B);
    const uint32_t equal = zeroMask(A) & zeroMask(B);
    // B = 0 with A != 0 (P = -Q) leaves Z3 = 0: infinity, as it should.
    poly_mul(P->Z, B, C);
    mulByA(curve, z2, t);
    poly_add(C, t, t);
    poly_mul(B, B, D);
    poly_mul(D, t, D);
    poly_mul(C, C, R.Z);
    poly_mul(A, C, E);
    poly_mul(A, A, t);
    poly_add(t, D, t);
    poly_add(t, E, R.X);
    poly_mul(Q->x, R.Z, t);
    poly_add(t, R.X, t);  // F
    poly_add(E, R.Z, E);
    poly_mul(E, t, E);    // (E + Z3) F
    poly_add(Q->x, Q->y, D);
    poly_mul(R.Z, R.Z, z2);
    poly_mul(D, z2, D);   // G
    poly_add(E, D, R.Y);

    LdPoint q;
    ldFromAffine(Q, &q);
    ldCmov(&R, Qd, equal & ~pInf);
    ldCmov(&R, &q, pInf);
    ldCmov(&R, P, qInf);
    *P = R;
}

// One table entry by a secret index: every entry is read, the wanted one
// kept by masks.
void selectPoint(const ec_point* table, int entries, uint32_t index, ec_point* out) {
    std::memset(out, 0, sizeof *out);
    for (int i = 0; i < entries; ++i) {
        const uint32_t m = csl_ct_is_zero_mask(index ^ static_cast<uint32_t>(i));
        cmov(out->x, table[i].x, m);
        cmov(out->y, table[i].y, m);
    }
}

void selectLdPoint(const LdPoint* table, int entries, uint32_t index, LdPoint* out) {
    std::memset(out, 0, sizeof *out);
    for (int i = 0; i < entries; ++i)
        ldCmov(out, &table[i], csl_ct_is_zero_mask(index ^ static_cast<uint32_t>(i)));
}

void ldWipe(LdPoint* P) { csl_wipe(P, sizeof *P); }

// The doubles of a table's entries, for the case P = Q of ldAddMixed.
void doubleEntries(const ec_point* table, int entries, LdPoint* doubled, const ec_curve* curve) {
    for (int i = 0; i < entries; ++i) ldDoubleAffine(&table[i], &doubled[i], curve);
}

}  // namespace

void poly_elliptic_init_233_bit() {}

void copy_point(const ec_point* src, ec_point* dst) { std::memmove(dst, src, sizeof(ec_point)); }

bool poly_elliptic_is_infinity(const ec_point* P) {
    return poly_is_zero(P->x) && poly_is_zero(P->y);
}

bool poly_elliptic_on_curve(const ec_point* P, const ec_curve* curve) {
    if (P->x[0] > FIELD_TOP_MASK || P->y[0] > FIELD_TOP_MASK) return false;
    if (poly_elliptic_is_infinity(P)) return false;
    field_element lhs, t, rhs;
    poly_mul(P->y, P->y, lhs);
    poly_mul(P->x, P->y, t);
    poly_add(lhs, t, lhs);
    poly_mul(P->x, P->x, t);          // x^2
    poly_add(P->x, curve->a, rhs);    // x + a
    poly_mul(t, rhs, rhs);            // x^3 + a*x^2
    poly_add(rhs, curve->b, rhs);
    return poly_equal(lhs, rhs);
}

bool poly_elliptic_in_prime_subgroup(const ec_point* P) {
    // For f = x^233 + x^74 + 1 the trace of x^i is 1 only for i = 0 and
    // i = 233 - 74 = 159 (Newton's identities), so Tr(x) = x_0 + x_159.
    const uint32_t trace = (P->x[7] ^ (P->x[3] >> 31)) & 1u;
    return trace == 1;  // Tr(a) for a = 1
}

void poly_elliptic_double(const ec_point* P, ec_point* R, const ec_curve* curve) {
    if (poly_is_zero(P->x)) {
        setInfinity(R);
        return;
    }
    field_element x, y, lambda, t;
    poly_copy(P->x, x);
    poly_copy(P->y, y);
    poly_inv(x, t);
    poly_mul(y, t, lambda);
    poly_add(lambda, x, lambda);  // lambda = x + y/x
    poly_mul(lambda, lambda, t);
    poly_add(t, lambda, t);
    poly_add(t, curve->a, R->x);  // x3 = lambda^2 + lambda + a
    poly_mul(x, x, t);
    lambda[7] ^= 1u;  // lambda + 1
    poly_mul(lambda, R->x, lambda);
    poly_add(t, lambda, R->y);  // y3 = x^2 + (lambda + 1) * x3
}

void poly_elliptic_sum(const ec_point* P1, const ec_point* P2, ec_point* R, const ec_curve* curve) {
    if (poly_elliptic_is_infinity(P1)) {
        copy_point(P2, R);
        return;
    }
    if (poly_elliptic_is_infinity(P2)) {
        copy_point(P1, R);
        return;
    }
    if (pointsEqual(P1, P2)) {
        poly_elliptic_double(P1, R, curve);
        return;
    }
    field_element dx, dy, lambda, t;
    poly_add(P1->x, P2->x, dx);
    if (poly_is_zero(dx)) {
        setInfinity(R);
        return;
    }
    poly_add(P1->y, P2->y, dy);
    poly_inv(dx, t);
    poly_mul(dy, t, lambda);
    poly_mul(lambda, lambda, t);
    poly_add(t, lambda, t);
    poly_add(t, dx, t);
    poly_add(t, curve->a, R->x);  // x3 = lambda^2 + lambda + dx + a
    poly_add(P1->x, R->x, t);
    poly_mul(lambda, t, t);
    poly_add(t, R->x, t);
    poly_add(t, P1->y, R->y);  // y3 = lambda * (x1 + x3) + x3 + y1
}

void poly_elliptic_sub(const ec_point* P1, const ec_point* P2, ec_point* R, const ec_curve* curve) {
    ec_point neg;
    poly_copy(P2->x, neg.x);
    poly_add(P2->x, P2->y, neg.y);
    poly_elliptic_sum(P1, &neg, R, curve);
}

namespace {

// Bits [4w, 4w + 4) of a 256-bit scalar, most significant word first.
uint32_t scalarNibble(const field_element k, int w) {
    return (k[7 - w / 8] >> (4 * (w % 8))) & 0xFu;
}

}  // namespace

void poly_elliptic_mul_slow(const field_element k, const ec_point* P, ec_point* R,
                            const ec_curve* curve) {
    // Fixed 4-bit windows over all 256 bits of k: 252 doublings and 64
    // additions of an entry chosen by masks, whatever k is. P is public: the
    // table of its 0..15 multiples is built with ordinary (variable-time)
    // code, the additions with the exception-free addition.
    ec_point base;
    copy_point(P, &base);
    poly_reduce_element(base.x);
    poly_reduce_element(base.y);
    ec_point table[16];
    LdPoint dtable[16];
    setInfinity(&table[0]);
    copy_point(&base, &table[1]);
    {
        LdPoint multiples[16], baseDouble;
        ldDoubleAffine(&base, &baseDouble, curve);
        ldFromAffine(&base, &multiples[1]);
        for (int j = 2; j < 16; ++j) {
            multiples[j] = multiples[j - 1];
            ldAddMixed(&multiples[j], &base, &baseDouble, curve);
        }
        // One inversion for all: Z_j^-1 from the running products.
        field_element prefix[16], inv, t;
        poly_copy(multiples[1].Z, prefix[1]);
        for (int j = 2; j < 16; ++j) {
            if (poly_is_zero(multiples[j].Z)) poly_copy(prefix[j - 1], prefix[j]);
            else poly_mul(prefix[j - 1], multiples[j].Z, prefix[j]);
        }
        poly_inv_vartime(prefix[15], inv);
        for (int j = 15; j >= 2; --j) {
            if (poly_is_zero(multiples[j].Z)) {
                setInfinity(&table[j]);
                continue;
            }
            poly_mul(inv, prefix[j - 1], t);           // Z_j^-1
            poly_mul(inv, multiples[j].Z, inv);        // drop Z_j from the product
            poly_mul(multiples[j].X, t, table[j].x);
            poly_mul(t, t, t);
            poly_mul(multiples[j].Y, t, table[j].y);
            if (poly_is_zero(multiples[j].X) && poly_is_zero(multiples[j].Y)) setInfinity(&table[j]);
        }
    }
    doubleEntries(table, 16, dtable, curve);

    LdPoint acc;
    ldSetInfinity(&acc);
    ec_point q;
    LdPoint qd;
    for (int w = 63; w >= 0; --w) {
        for (int i = 0; i < 4; ++i) ldDouble(&acc, curve);
        const uint32_t d = scalarNibble(k, w);
        selectPoint(table, 16, d, &q);
        selectLdPoint(dtable, 16, d, &qd);
        ldAddMixed(&acc, &q, &qd, curve);
    }
    ldToAffine(&acc, R);
    ldWipe(&acc);
    csl_wipe_object(q);
    csl_wipe_object(qd);
}

void poly_elliptic_mul_vartime(const field_element k, const ec_point* P, ec_point* R,
                               const ec_curve* curve) {
    int8_t digits[260];
    const int count = nafRecode(k, digits);
    if (count == 0) {
        setInfinity(R);
        return;
    }
    ec_point base, negBase;
    copy_point(P, &base);
    poly_reduce_element(base.x);
    poly_reduce_element(base.y);
    poly_copy(base.x, negBase.x);
    poly_add(base.x, base.y, negBase.y);
    LdPoint acc, baseDouble, negDouble;
    ldDoubleAffine(&base, &baseDouble, curve);
    ldDoubleAffine(&negBase, &negDouble, curve);
    ldFromAffine(&base, &acc);
    for (int i = count - 2; i >= 0; --i) {
        ldDouble(&acc, curve);
        if (digits[i] > 0)
            ldAddMixed(&acc, &base, &baseDouble, curve);
        else if (digits[i] < 0)
            ldAddMixed(&acc, &negBase, &negDouble, curve);
    }
    ldToAffine(&acc, R, poly_inv_vartime);
}

namespace {

// Comb over `columns` columns with a table of 2^teeth entries: tooth b of
// column c is bit c + b * columns of k. Every column doubles once and adds
// the entry its digit selects (by masks), so the work is the same for every
// k; dtable holds the doubles of the entries.
void combMultiply(const field_element k, const ec_point* table, const LdPoint* dtable, int teeth,
                  int columns, ec_point* R, const ec_curve* curve) {
    LdPoint acc, qd;
    ec_point q;
    ldSetInfinity(&acc);
    for (int c = columns - 1; c >= 0; --c) {
        uint32_t d = 0;
        for (int b = teeth - 1; b >= 0; --b) d = (d << 1) | scalarBit(k, static_cast<unsigned>(c + b * columns));
        ldDouble(&acc, curve);
        selectPoint(table, 1 << teeth, d, &q);
        selectLdPoint(dtable, 1 << teeth, d, &qd);
        ldAddMixed(&acc, &q, &qd, curve);
    }
    ldToAffine(&acc, R);
    ldWipe(&acc);
    ldWipe(&qd);
    csl_wipe_object(q);
}

// Fills entries of a comb table: entry i is the multiple of P whose scalar
// has bit b of i at word offsets[b] (offsets run from the top tooth down).
void precomputeComb(const ec_point* P, ec_point* table, int teeth, const int* wordOf,
                    const ec_curve* curve) {
    const int entries = 1 << teeth;
    for (int i = 0; i < entries; ++i) {
        field_element k = {};
        for (int b = 0; b < teeth; ++b)
            if ((i >> (teeth - 1 - b)) & 1) k[wordOf[b]] = 1;
        poly_elliptic_mul_vartime(k, P, &table[i], curve);
    }
}

// The doubles of the built-in table's entries, made once.
const LdPoint* baseDoubles() {
    static const auto doubles = [] {
        std::array<LdPoint, 16> d;
        doubleEntries(precomputed_bp, 16, d.data(), &named_curve);
        return d;
    }();
    return doubles.data();
}

}  // namespace

void do_precompute_four(const ec_point* P, comb4_table table, const ec_curve* curve) {
    static constexpr int wordOf[4] = {1, 3, 5, 7};
    ec_point base;
    copy_point(P, &base);
    precomputeComb(&base, table, 4, wordOf, curve);
}

void do_precompute_two(const ec_point* P, comb2_table table, const ec_curve* curve) {
    static constexpr int wordOf[2] = {3, 7};
    ec_point base;
    copy_point(P, &base);
    precomputeComb(&base, table, 2, wordOf, curve);
}

void poly_elliptic_mul_precomputed(const field_element k, const comb4_table table, ec_point* R,
                                   const ec_curve* curve) {
    LdPoint dtable[16];
    doubleEntries(table, 16, dtable, curve);
    combMultiply(k, table, dtable, 4, 64, R, curve);
}

void poly_elliptic_mul_four(const field_element k, const ec_point* /*G*/, ec_point* R,
                            const ec_curve* curve) {
    // The doubles were made with the built-in curve's a; another a needs its own.
    if (isOne(curve->a)) {
        combMultiply(k, precomputed_bp, baseDoubles(), 4, 64, R, curve);
        return;
    }
    poly_elliptic_mul_precomputed(k, precomputed_bp, R, curve);
}

void poly_elliptic_cached_table(ec_point* signer, comb2_table table) {
    copy_point(&precomputed_signer, signer);
    for (int i = 0; i < 4; ++i) copy_point(&precomputed_pk[i], &table[i]);
}

void poly_elliptic_mul(const field_element k, const ec_point* P, ec_point* R,
                       const ec_curve* curve) {
    // k = 0 leaves the cache alone; only whether k is zero shows in the time.
    if (poly_is_zero(k)) {
        setInfinity(R);
        return;
    }
    if (!pointsEqual(P, &precomputed_signer)) {
        ec_point base;
        copy_point(P, &base);
        do_precompute_two(&base, precomputed_pk, curve);
        copy_point(&base, &precomputed_signer);
    }
    LdPoint dtable[4];
    doubleEntries(precomputed_pk, 4, dtable, curve);
    combMultiply(k, precomputed_pk, dtable, 2, 128, R, curve);
}
