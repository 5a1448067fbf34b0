// Fixed-precision unsigned arithmetic on 16-bit units, least significant unit
// first. Every operation works on exactly global_precision units.
#include "mparith/mparith.h"
#include "mparith/mpcore.h"
#include "runtime/wipe.h"

int16_t global_precision = 0;
uint16_t munit_prec = 0;

namespace {

int precision() { return global_precision; }

}  // namespace

void mp_init(MpUnit* r, MpUnit value) {
    mpcore::zero(r, precision());
    r[0] = value;
}

int mp_addc(MpUnit* r1, const MpUnit* r2, int carry) {
    return mpcore::add(r1, r2, precision(), carry);
}

int mp_subb(MpUnit* r1, const MpUnit* r2, int borrow) {
    return mpcore::sub(r1, r2, precision(), borrow);
}

int mp_rotate_left(MpUnit* r, int carry) {
    uint32_t c = carry ? 1 : 0;
    for (int i = 0; i < precision(); ++i) {
        const uint32_t t = (uint32_t{r[i]} << 1) | c;
        r[i] = static_cast<MpUnit>(t);
        c = t >> 16;
    }
    return static_cast<int>(c);
}

void mp_shift_right_bits(MpUnit* r, int bits) {
    if (bits <= 0) return;
    if (bits > 16) bits = 16;
    const int p = precision();
    for (int i = 0; i < p; ++i) {
        const uint32_t above = i + 1 < p ? r[i + 1] : 0;
        r[i] = static_cast<MpUnit>(((above << 16) | r[i]) >> bits);
    }
}

int mp_compare(const MpUnit* r1, const MpUnit* r2) {
    return mpcore::compare(r1, r2, precision());
}

int mp_inc(MpUnit* r) {
    for (int i = 0; i < precision(); ++i) {
        if (++r[i] != 0) return 0;
    }
    return 1;
}

int mp_dec(MpUnit* r) {
    for (int i = 0; i < precision(); ++i) {
        if (r[i]-- != 0) return 0;
    }
    return 1;
}

void mp_neg(MpUnit* r) {
    mp_dec(r);
    for (int i = 0; i < precision(); ++i) r[i] = static_cast<MpUnit>(~r[i]);
}

int significance(const MpUnit* r) { return mpcore::significance(r, precision()); }

int countbits(const MpUnit* r) { return mpcore::countbits(r, precision()); }

// The product cut to P units. Column by column instead of bit by bit: the
// result is the same, the work a sixteenth.
int mp_mult(MpUnit* prod, const MpUnit* multiplicand, const MpUnit* multiplier) {
    const int p = precision();
    mpcore::zero(prod, p);
    for (int i = 0; i < p; ++i) {
        const MpUnit m = multiplier[i];
        if (m == 0) continue;
        uint32_t c = 0;
        for (int j = 0; i + j < p; ++j) {
            const uint32_t t = uint32_t{multiplicand[j]} * m + c + prod[i + j];
            prod[i + j] = static_cast<MpUnit>(t);
            c = t >> 16;
        }
    }
    return 0;
}

void mp_smul(MpUnit* prod, const MpUnit* multiplicand, MpUnit m) {
    mpcore::smul(prod, multiplicand, m, munit_prec);
}

void mp_dmul(MpUnit* prod, const MpUnit* a, const MpUnit* b) {
    const int p = precision();
    mpcore::zero(prod, 2 * p);
    munit_prec = static_cast<uint16_t>(p);
    for (int i = 0; i < p; ++i) mpcore::smul(prod + i, a, b[i], p);
}

// Restoring division of 2^(2n-1) by the n-bit divisor, one quotient bit per
// step, the bits placed one position up (bit n down to bit 1).
int mp_recip(MpUnit* quotient, const MpUnit* divisor) {
    const int p = precision();
    const int n = countbits(divisor);
    if (n == 0) return -1;

    MpUnit r[MP_MAX_UNITS];
    mpcore::zero(r, p);
    r[(n - 1) / 16] = static_cast<MpUnit>(1u << ((n - 1) % 16));
    mpcore::zero(quotient, p);
    for (int j = n; j >= 1; --j) {
        // r < divisor before the doubling, so one subtraction suffices; a bit
        // shifted out of the top unit is part of the doubled value.
        const int out = mp_rotate_left(r, 0);
        if (out != 0 || mpcore::compare(r, divisor, p) >= 0) {
            mpcore::sub(r, divisor, p, 0);
            if (j < 16 * p) quotient[j / 16] |= static_cast<MpUnit>(1u << (j % 16));
        }
    }
    rt::wipe(r, sizeof r);
    return 0;
}
