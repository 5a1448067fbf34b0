// The staged-modulus product against OpenSSL's BIGNUM: the staged values,
// the digit estimate against the exact quotient digit, the digit step with
// deliberately wrong digits, and the whole product on random and adversarial
// moduli from 33 bits to the largest precision, in place, at a larger
// precision, and with operands at or above the modulus.
#include <gtest/gtest.h>

#include "mparith/mparith.h"
#include "mparith/smith_state.h"
#include "tests/mparith/bn_oracle.h"

using namespace oracle;

namespace {

int units_of(const BIGNUM* m) { return (BN_num_bits(m) + 15) / 16; }

// Stages m at precision p (p >= the modulus's length).
void stage(const BIGNUM* m, int p) {
    Num n = num_from(m, p);
    MpPrecision prec(p);
    ASSERT_EQ(0, stage_smith_modulus(n.p()));
    ASSERT_EQ(p, global_precision);
}

// A window of ml + 1 units holding the complement of w, as the reduction
// keeps it, with one guard unit on each side.
struct Window {
    std::array<MpUnit, MP_MAX_UNITS + 4> u{};
    MpUnit* low() { return u.data() + 1; }
};

Window complemented_window(const BIGNUM* w, int ml) {
    Window win;
    win.u.fill(kGuard);
    Num n = num_from(w, ml + 1);
    for (int i = 0; i <= ml; ++i) win.low()[i] = static_cast<MpUnit>(~n[i]);
    return win;
}

Bn window_value(Window& win, int ml) {
    Num n;
    for (int i = 0; i <= ml; ++i) n[i] = static_cast<MpUnit>(~win.low()[i]);
    return bn_from(n.p(), ml + 1);
}

// The digit estimate exactly as a 32-bit unsigned computation forms it.
uint32_t estimate_in_32_bits(const MpUnit* top) {
    const uint32_t a0 = top[0] ^ 0xFFFFu, a1 = top[-1] ^ 0xFFFFu, a2 = top[-2] ^ 0xFFFFu;
    const uint32_t h = smith::reciph, l = smith::recipl;
    const uint32_t t0 = ((a2 * h + h) >> 1) + ((a1 * l + 0x10000u) >> 1) + 1;
    const uint32_t t1 = (t0 >> 16) + ((a1 * h) >> 1) + ((a0 * l) >> 1) + 1;
    const uint32_t q = ((t1 >> 14) + 2 * a0 * h) >> smith::mshift;
    return q >= 0xFFFF ? 0xFFFF : q;
}

void expect_burned() {
    for (MpUnit u : smith::modulus) ASSERT_EQ(0, u);
    for (MpUnit u : smith::ds_data) ASSERT_EQ(0, u);
    for (MpUnit u : smith::mod_divisor) ASSERT_EQ(0, u);
    for (MpUnit u : smith::mod_quotient) ASSERT_EQ(0, u);
    EXPECT_EQ(nullptr, smith::modmpl);
    EXPECT_EQ(0, smith::nbits);
    EXPECT_EQ(0, smith::modlenMULTUNITS);
    EXPECT_EQ(0, smith::mshift);
    EXPECT_EQ(0, smith::reciph);
    EXPECT_EQ(0, smith::recipl);
    EXPECT_EQ(0, smith::mutemp);
}

// smith_modmult(a, b) at precision p against a * b mod m, also in place.
void check_product(const BIGNUM* m, const BIGNUM* x, const BIGNUM* y, int p, BN_CTX* ctx) {
    Bn expected = bn_new();
    BN_mod_mul(expected.get(), x, y, m, ctx);
    MpPrecision prec(p);
    Num a = num_from(x, p), b = num_from(y, p), r;
    ASSERT_EQ(0, smith_modmult(r.p(), a.p(), b.p()));
    EXPECT_TRUE(equal(r.p(), p, expected.get()))
        << "m=" << hex(m) << " a=" << hex(x) << " b=" << hex(y) << " p=" << p
        << "\n got " << hex(r.p(), p) << "\n want " << hex(expected.get());
    EXPECT_TRUE(r.guards_intact(p));
    EXPECT_TRUE(a.guards_intact(p) && b.guards_intact(p));
    EXPECT_EQ(p, global_precision);
    EXPECT_EQ(p, munit_prec);

    Num in_a = a;
    smith_modmult(in_a.p(), in_a.p(), b.p());
    EXPECT_TRUE(equal(in_a.p(), p, expected.get())) << "result in the first operand";
    Num in_b = b;
    smith_modmult(in_b.p(), a.p(), in_b.p());
    EXPECT_TRUE(equal(in_b.p(), p, expected.get())) << "result in the second operand";
}

}  // namespace

TEST(SmithStage, StagedValuesMatchTheModulusLeadingBits) {
    Rand rnd(100);
    Ctx ctx(BN_CTX_new());
    for (int bits = 33; bits <= 16 * MP_MAX_UNITS; bits += (bits < 100 ? 1 : 37)) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = units_of(m.get());
            for (int p : {ml, MP_MAX_UNITS}) {
                stage(m.get(), p);
                EXPECT_EQ(bits, smith::nbits);
                EXPECT_EQ(ml, smith::modlenMULTUNITS);
                EXPECT_EQ(smith::modulus, smith::modmpl);
                EXPECT_TRUE(equal(smith::modulus, MP_MAX_UNITS, m.get()));

                Bn top32 = bn_new();
                BN_rshift(top32.get(), m.get(), bits - 32);
                const uint32_t d = static_cast<uint32_t>(BN_get_word(top32.get()));
                EXPECT_EQ(d, smith::mod_divisor[0] | (uint32_t{smith::mod_divisor[1]} << 16));
                EXPECT_EQ(0, smith::mod_divisor[2]);

                const int top_unit_bits = bits - 16 * (ml - 1);
                const uint64_t q = smith::mod_quotient[0] | (uint64_t{smith::mod_quotient[1]} << 16) |
                                   (uint64_t{smith::mod_quotient[2]} << 32);
                if (d == 0x80000000u) {
                    EXPECT_EQ(0x80000000u, q);
                    EXPECT_EQ(top_unit_bits - 1, smith::mshift);
                } else {
                    EXPECT_EQ((uint64_t{1} << 63) / d + 1, q) << std::hex << d;
                    EXPECT_EQ(top_unit_bits, smith::mshift);
                }
                EXPECT_EQ(smith::mod_quotient[0], smith::recipl);
                EXPECT_EQ(smith::mod_quotient[1], smith::reciph);
            }
        }
    }
    smith_burn();
}

TEST(SmithStage, BurnWipesEveryStagedValue) {
    Rand rnd(101);
    Ctx ctx(BN_CTX_new());
    Bn m = rnd.exact_bits(1000);
    stage(m.get(), MP_MAX_UNITS);
    check_product(m.get(), rnd.below(m.get()).get(), rnd.below(m.get()).get(), MP_MAX_UNITS,
                  ctx.get());
    munit_prec = 17;
    smith_burn();
    expect_burned();
    EXPECT_EQ(17, munit_prec) << "munit_prec is left alone";
}

// The estimate is never below the exact digit and at most one above it, on
// windows whose three leading units reach 0xFFFF, for moduli whose leading
// bits are all ones, and for the divisor 2^31.
TEST(SmithDigit, EstimateIsTheExactDigitOrOneAbove) {
    Rand rnd(102);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 47, 48, 49, 64, 65, 80, 81, 300, 511, 512, 1024, 1280}) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = units_of(m.get());
            stage(m.get(), ml);
            Bn limit = bn_copy(m.get());  // windows are below m * 2^16
            BN_lshift(limit.get(), limit.get(), 16);
            for (int iter = 0; iter < 300; ++iter) {
                Bn w;
                if (iter < 200) {
                    // w = digit * m + rest with chosen digits and rests.
                    const unsigned digits[] = {0, 1, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF};
                    const unsigned digit = iter < 120 ? digits[iter % 6] : rnd.unit();
                    Bn rest = bn_new();
                    switch (iter % 4) {
                        case 0: rest = bn_word(0); break;
                        case 1: BN_sub(rest.get(), m.get(), BN_value_one()); break;
                        default: rest = rnd.below(m.get());
                    }
                    w = bn_copy(m.get());
                    BN_mul_word(w.get(), digit);
                    BN_add(w.get(), w.get(), rest.get());
                } else {
                    w = rnd.below(limit.get());
                }
                Bn exact = bn_new();
                BN_div(exact.get(), nullptr, w.get(), m.get(), ctx.get());
                const unsigned long d = BN_get_word(exact.get());
                Window win = complemented_window(w.get(), ml);
                const MpUnit q = mp_quo_digit(win.low() + ml);
                EXPECT_EQ(q, smith::mutemp);
                EXPECT_TRUE(q == d || q == d + 1)
                    << "m=" << hex(m.get()) << " w=" << hex(w.get()) << " digit " << d
                    << " estimate " << q;
            }
        }
    }
    smith_burn();
}

// The case that a 32-bit sum gets wrong: the modulus's leading 32 bits all
// ones (reciprocal 0x80000001) and a window whose top unit is 0xFFFF. The sum
// of the last step passes 2^32 and would wrap to a small digit.
TEST(SmithDigit, LeadingOnesModulusGetsTheFullDigit) {
    Ctx ctx(BN_CTX_new());
    for (int bits : {48, 64, 512}) {
        Bn m = bn_pow2(bits);
        BN_sub_word(m.get(), 1);
        const int ml = units_of(m.get());
        stage(m.get(), ml);
        ASSERT_EQ(0x8000, smith::reciph);
        ASSERT_EQ(0x0001, smith::recipl);
        Bn w = bn_copy(m.get());  // 0xFFFF * m + (m - 1): the largest window
        BN_mul_word(w.get(), 0xFFFF);
        BN_add(w.get(), w.get(), m.get());
        BN_sub_word(w.get(), 1);
        Window win = complemented_window(w.get(), ml);
        EXPECT_LT(estimate_in_32_bits(win.low() + ml), 0x100u) << "the case really wraps";
        EXPECT_EQ(0xFFFF, mp_quo_digit(win.low() + ml));
    }
    smith_burn();
}

// The digit step leaves the exact remainder whatever digit it is handed
// within 2^15 of the true one: an estimate that is too large by one (the
// normal correction), by two or more, and one that is too small.
TEST(SmithDigit, StepCorrectsDigitsOffInEitherDirection) {
    Rand rnd(103);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 48, 64, 65, 512, 1280}) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = units_of(m.get());
            stage(m.get(), ml);
            Bn limit = bn_copy(m.get());
            BN_lshift(limit.get(), limit.get(), 16);
            for (int iter = 0; iter < 12; ++iter) {
                Bn w = rnd.below(limit.get());
                Bn exact = bn_new(), rem = bn_new();
                BN_div(exact.get(), rem.get(), w.get(), m.get(), ctx.get());
                const long d = static_cast<long>(BN_get_word(exact.get()));
                for (long delta : {-300L, -3L, -2L, -1L, 0L, 1L, 2L, 3L, 300L}) {
                    const long q = d + delta;
                    if (q < 0 || q > 0xFFFF) continue;
                    Window win = complemented_window(w.get(), ml);
                    smith::reduce_digit(win.low(), static_cast<MpUnit>(q));
                    EXPECT_TRUE(BN_cmp(window_value(win, ml).get(), rem.get()) == 0)
                        << "m=" << hex(m.get()) << " w=" << hex(w.get()) << " q=d" << std::showpos
                        << delta;
                    EXPECT_EQ(kGuard, win.u[0]);
                    EXPECT_EQ(kGuard, win.u[ml + 2]);
                }
            }
        }
    }
    smith_burn();
}

TEST(SmithModmult, RandomModuliFromThirtyThreeBitsToTheLargestPrecision) {
    Rand rnd(104);
    Ctx ctx(BN_CTX_new());
    for (int ml = 3; ml <= MP_MAX_UNITS; ++ml) {
        // The top unit with one bit, with sixteen, and anything between.
        for (int top_bits : {1, 16, rnd.range(2, 15)}) {
            const int bits = 16 * (ml - 1) + top_bits;
            Bn m = rnd.exact_bits(bits);
            const int p = ml + (ml % 2 ? 0 : rnd.range(0, MP_MAX_UNITS - ml));
            stage(m.get(), p);
            for (auto& [x, y] : operand_pairs(m.get(), rnd, 4))
                check_product(m.get(), x.get(), y.get(), p, ctx.get());
        }
    }
    smith_burn();
}

TEST(SmithModmult, AdversarialModuli) {
    Rand rnd(105);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 34, 47, 48, 49, 63, 64, 65, 96, 127, 128, 129, 255, 256, 448, 512, 513,
                     1023, 1024, 1279, 1280}) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = units_of(m.get());
            stage(m.get(), ml);
            for (auto& [x, y] : operand_pairs(m.get(), rnd, 8))
                check_product(m.get(), x.get(), y.get(), ml, ctx.get());
            // Operands whose leading units are all ones (below m when m's are).
            Bn ones = bn_pow2(bits - 1);
            BN_sub_word(ones.get(), 1);
            check_product(m.get(), ones.get(), ones.get(), ml, ctx.get());
        }
    }
    smith_burn();
}

TEST(SmithModmult, LargerPrecisionGivesTheSameResult) {
    Rand rnd(106);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 100, 448, 1000}) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = units_of(m.get());
            for (int p : {ml, ml + 1, (ml + MP_MAX_UNITS) / 2, MP_MAX_UNITS}) {
                stage(m.get(), p);
                Rand same(static_cast<uint64_t>(bits));  // the same operands at every precision
                for (auto& [x, y] : operand_pairs(m.get(), same, 3))
                    check_product(m.get(), x.get(), y.get(), p, ctx.get());
            }
        }
    }
    smith_burn();
}

TEST(SmithModmult, SquaringInPlace) {
    Rand rnd(107);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 64, 512, 1280}) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = units_of(m.get());
            stage(m.get(), ml);
            MpPrecision prec(ml);
            Bn x = rnd.below(m.get());
            Num r = num_from(x.get(), ml);
            for (int i = 0; i < 5; ++i) {
                smith_modmult(r.p(), r.p(), r.p());
                BN_mod_mul(x.get(), x.get(), x.get(), m.get(), ctx.get());
                EXPECT_TRUE(equal(r.p(), ml, x.get()));
            }
        }
    }
    smith_burn();
}

TEST(SmithModmult, ProductBelowTheModulusComesBackUnreduced) {
    Rand rnd(108);
    Bn m = rnd.exact_bits(700);
    stage(m.get(), MP_MAX_UNITS);
    MpPrecision prec(MP_MAX_UNITS);
    Num a, b, r;
    mp_init(a.p(), 0xFFFF);
    mp_init(b.p(), 0);
    for (int i = 0; i < 10; ++i) b[i] = 0xFFFF;
    smith_modmult(r.p(), a.p(), b.p());
    Bn expected = bn_from(b.p(), MP_MAX_UNITS);
    BN_mul_word(expected.get(), 0xFFFF);
    EXPECT_TRUE(equal(r.p(), MP_MAX_UNITS, expected.get()));
    smith_burn();
}

// Operands at or above the modulus (up to 2m - 1, and any value of the
// precision) are outside the contract of the product but must not reach
// outside its buffers; the reduction in fact still gives the remainder.
TEST(SmithModmult, OperandsAtOrAboveTheModulusStayInBounds) {
    Rand rnd(109);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 48, 49, 200, 640, 1280}) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = units_of(m.get());
            for (int p : {ml, MP_MAX_UNITS}) {
                stage(m.get(), p);
                Bn twice_m = bn_copy(m.get());
                BN_lshift1(twice_m.get(), twice_m.get());
                Bn top = bn_copy(twice_m.get());
                BN_sub_word(top.get(), 1);  // 2m - 1
                if (BN_num_bits(top.get()) <= 16 * p)
                    check_product(m.get(), top.get(), top.get(), p, ctx.get());
                check_product(m.get(), m.get(), m.get(), p, ctx.get());
                for (int iter = 0; iter < 4; ++iter) {
                    Bn x = rnd.below_pow2(16 * p), y = rnd.below_pow2(16 * p);
                    check_product(m.get(), x.get(), y.get(), p, ctx.get());
                }
                Bn all = bn_pow2(16 * p);
                BN_sub_word(all.get(), 1);
                check_product(m.get(), all.get(), all.get(), p, ctx.get());
            }
        }
    }
    smith_burn();
}
