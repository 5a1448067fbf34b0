// Modular product with a staged modulus: the double-length product is reduced
// one 16-bit quotient digit at a time, each digit estimated from a 32-bit
// reciprocal of the modulus's leading bits. The working product is held in
// ones' complement, so subtracting digit x modulus is an addition. And
// square-and-multiply exponentiation on top of it.
#include "mparith/mparith.h"
#include "mparith/mpcore.h"
#include "mparith/smith_state.h"
#include "runtime/wipe.h"

namespace smith {

MpUnit modulus[MP_MAX_UNITS];
MpUnit* modmpl = nullptr;
int16_t nbits = 0;
int16_t modlenMULTUNITS = 0;
MpUnit mod_divisor[4];
MpUnit mod_quotient[4];
int32_t mshift = 0;
MpUnit recipl = 0;
MpUnit reciph = 0;
MpUnit mutemp = 0;
MpUnit ds_data[2 * MP_MAX_UNITS + 2];

namespace {

// True when the window (complemented, modlenMULTUNITS + 1 units) stands for a
// value of at least the modulus.
bool window_at_least_modulus(const MpUnit* w, int ml) {
    if (w[ml] != 0xFFFF) return true;
    for (int i = ml - 1; i >= 0; --i) {
        const MpUnit x = static_cast<MpUnit>(~w[i]);
        if (x != modmpl[i]) return x > modmpl[i];
    }
    return true;
}

// Exact reduction for a staged modulus of at most 32 bits, which has no
// 32-bit leading part to take a reciprocal of. Not the working size of any
// caller; it only keeps such a modulus correct.
void reduce_short(MpUnit* prod, int n) {
    const uint64_t m = modulus[0] | (uint64_t{modulus[1]} << 16);
    if (m == 0) return;
    uint64_t r = 0;
    for (int i = n - 1; i >= 0; --i) r = ((r << 16) | prod[i]) % m;
    mpcore::zero(prod, n);
    prod[0] = static_cast<MpUnit>(r);
    prod[1] = static_cast<MpUnit>(r >> 16);
}

}  // namespace

void reduce_digit(MpUnit* w, MpUnit q) {
    const int ml = modlenMULTUNITS;
    if (q != 0) {
        mpcore::smul(w, modmpl, q, ml);
        // The estimate was too large: the true window went below zero, which
        // shows as a clear top bit. Add the modulus back (subtract it from the
        // complement), the borrow taken from the top unit.
        while ((w[ml] & 0x8000) == 0) {
            if (mpcore::sub(w, modmpl, ml, 0)) w[ml] = static_cast<MpUnit>(w[ml] - 1);
        }
    }
    // The estimate was too small: take the modulus off once more.
    while (window_at_least_modulus(w, ml)) {
        if (mpcore::add(w, modmpl, ml, 0)) w[ml] = static_cast<MpUnit>(w[ml] + 1);
    }
}

}  // namespace smith

using namespace smith;

int stage_smith_modulus(const MpUnit* m) {
    const int16_t p = global_precision;
    rt::wipe(modulus, sizeof modulus);
    mpcore::copy(modulus, m, p);
    modmpl = modulus;
    nbits = static_cast<int16_t>(mpcore::countbits(modulus, p));
    modlenMULTUNITS = static_cast<int16_t>((nbits + 15) / 16);

    rt::wipe(mod_divisor, sizeof mod_divisor);
    rt::wipe(mod_quotient, sizeof mod_quotient);
    mshift = 0;
    recipl = reciph = 0;
    if (modlenMULTUNITS < 3) return 0;  // reduced exactly, without an estimate

    const MpPrecision three(3);
    // The three units that end with the top non-zero unit, shifted down to the
    // modulus's top 32 bits.
    mpcore::copy(mod_divisor, modulus + modlenMULTUNITS - 3, 3);
    mshift = countbits(mod_divisor) - 32;
    mp_shift_right_bits(mod_divisor, mshift);
    mp_recip(mod_quotient, mod_divisor);
    mp_shift_right_bits(mod_quotient, 1);  // floor(2^63 / divisor)
    mp_inc(mod_quotient);
    if (countbits(mod_quotient) > 32) {  // the divisor 2^31
        mp_shift_right_bits(mod_quotient, 1);
        --mshift;
    }
    recipl = mod_quotient[0];
    reciph = mod_quotient[1];
    return 0;
}

// The estimate of the quotient digit of the window whose top unit is at top,
// from the window's three leading units and the two reciprocal units. The
// partial products are those of a 32-bit computation with upward rounding,
// but summed in 64 bits: with a reciprocal of 0x8000xxxx (the modulus's
// leading 32 bits all ones or nearly so) the last sum exceeds 32 bits and
// would wrap to a small digit.
MpUnit mp_quo_digit(const MpUnit* top) {
    const uint64_t a0 = top[0] ^ 0xFFFFu;
    const uint64_t a1 = top[-1] ^ 0xFFFFu;
    const uint64_t a2 = top[-2] ^ 0xFFFFu;
    const uint64_t h = reciph;
    const uint64_t l = recipl;
    const uint64_t t0 = ((a2 * h + h) >> 1) + ((a1 * l + 0x10000) >> 1) + 1;
    const uint64_t t1 = (t0 >> 16) + ((a1 * h) >> 1) + ((a0 * l) >> 1) + 1;
    const uint64_t q = ((t1 >> 14) + 2 * a0 * h) >> mshift;
    mutemp = static_cast<MpUnit>(q >= 0xFFFF ? 0xFFFF : q);
    return mutemp;
}

int smith_modmult(MpUnit* result, const MpUnit* a, const MpUnit* b) {
    const int p = global_precision;
    const int ml = modlenMULTUNITS;
    MpUnit* prod = ds_data + 1;

    mp_dmul(prod, a, b);  // 2p units; result may be a or b, so not written yet
    prod[2 * p] = 0;
    const int n = 2 * p + 1;

    if (ml < 3) {
        reduce_short(prod, n);
    } else if (mpcore::significance(prod, n) >= ml) {
        const int s = mpcore::significance(prod, n);
        for (int i = 0; i < n; ++i) prod[i] = static_cast<MpUnit>(~prod[i]);
        // The window runs from unit t - ml to unit t. Its first position takes
        // the top ml units under a zero unit, so it is below 2^16 x modulus,
        // and every digit step leaves the window below the modulus: this holds
        // for any product, also of operands at or above the modulus. The
        // digit steps work over the modulus's length only and never reach
        // above unit s.
        for (int t = s; t >= ml; --t) reduce_digit(prod + t - ml, mp_quo_digit(prod + t));
        for (int i = 0; i < p; ++i) prod[i] = static_cast<MpUnit>(~prod[i]);
    }
    munit_prec = static_cast<uint16_t>(p);
    mpcore::copy(result, prod, p);
    return 0;
}

void smith_burn() {
    rt::wipe(modulus, sizeof modulus);
    rt::wipe(ds_data, sizeof ds_data);
    rt::wipe(mod_quotient, sizeof mod_quotient);
    rt::wipe(mod_divisor, sizeof mod_divisor);
    modmpl = nullptr;
    nbits = 0;
    mshift = 0;
    reciph = recipl = 0;
    mutemp = 0;
    modlenMULTUNITS = 0;
}

int mp_modexp(MpUnit* expout, const MpUnit* expin, const MpUnit* exponent, const MpUnit* mod) {
    mp_init(expout, 1);
    if (significance(exponent) == 0) return significance(expin) == 0 ? -1 : 0;
    if (significance(mod) == 0) return -2;
    if (mp_compare(expin, mod) >= 0) return -3;
    if (mp_compare(exponent, mod) >= 0) return -4;

    const MpPrecision width((countbits(mod) + 15) / 16);
    stage_smith_modulus(mod);

    const int top = countbits(exponent) - 1;
    mpcore::copy(expout, expin, global_precision);
    MpUnit product[MP_MAX_UNITS];
    for (int bit = top - 1; bit >= 0; --bit) {
        smith_modmult(product, expout, expout);
        if ((exponent[bit / 16] >> (bit % 16)) & 1)
            smith_modmult(expout, product, expin);
        else
            mpcore::copy(expout, product, global_precision);
    }

    rt::wipe(product, sizeof product);
    smith_burn();
    return 0;
}
