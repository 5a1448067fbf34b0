// Fixed-precision unsigned multi-precision arithmetic on 16-bit units, least
// significant unit first (so the memory image of a number is its
// little-endian byte string), and modular multiplication/exponentiation with
// a staged modulus. All numbers of a computation have global_precision units.
// Process-wide state; one thread.
#pragma once

#include <cstdint>

using MpUnit = uint16_t;
constexpr int MP_MAX_UNITS = 80;  // 1280 bits: the largest precision
constexpr int MP_MIN_MODULUS_BITS = 33;  // the staged reduction needs more than 32 bits

extern int16_t global_precision;  // P, in units
extern uint16_t munit_prec;       // unit count of mp_smul

// Sets global_precision for as long as the guard lives and puts the earlier
// value back when it ends, on every path: the one way code changes the
// precision for a while.
class MpPrecision {
public:
    explicit MpPrecision(int units) : saved_(global_precision) {
        global_precision = static_cast<int16_t>(units);
    }
    ~MpPrecision() { global_precision = saved_; }
    MpPrecision(const MpPrecision&) = delete;
    MpPrecision& operator=(const MpPrecision&) = delete;

private:
    int16_t saved_;
};

// ---- basics (P = global_precision units unless said otherwise) ------------
void mp_init(MpUnit* r, MpUnit value);
int mp_addc(MpUnit* r1, const MpUnit* r2, int carry);
int mp_subb(MpUnit* r1, const MpUnit* r2, int borrow);
int mp_rotate_left(MpUnit* r, int carry);
void mp_shift_right_bits(MpUnit* r, int bits);  // 0..16
int mp_compare(const MpUnit* r1, const MpUnit* r2);
int mp_inc(MpUnit* r);
int mp_dec(MpUnit* r);
void mp_neg(MpUnit* r);
int significance(const MpUnit* r);
int countbits(const MpUnit* r);
int mp_mult(MpUnit* prod, const MpUnit* multiplicand, const MpUnit* multiplier);
void mp_smul(MpUnit* prod, const MpUnit* multiplicand, MpUnit m);  // over munit_prec units
void mp_dmul(MpUnit* prod, const MpUnit* a, const MpUnit* b);      // prod has 2P units
int mp_recip(MpUnit* quotient, const MpUnit* divisor);

// ---- modular product and power ------------------------------------------
int stage_smith_modulus(const MpUnit* m);
int smith_modmult(MpUnit* result, const MpUnit* a, const MpUnit* b);
MpUnit mp_quo_digit(const MpUnit* top);
void smith_burn();
// 0, or -1 (exponent and expin zero), -2 (modulus zero), -3 (expin >= modulus),
// -4 (exponent >= modulus); expout is 1 on every error.
int mp_modexp(MpUnit* expout, const MpUnit* expin, const MpUnit* exponent, const MpUnit* modulus);
