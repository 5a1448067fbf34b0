// The modular power against OpenSSL's BN_mod_exp, its status codes, the
// precision it restores and the staged state it leaves wiped.
#include <gtest/gtest.h>

#include "mparith/mparith.h"
#include "mparith/smith_state.h"
#include "tests/mparith/bn_oracle.h"

using namespace oracle;

namespace {

bool staged_state_is_wiped() {
    for (MpUnit u : smith::modulus)
        if (u != 0) return false;
    for (MpUnit u : smith::ds_data)
        if (u != 0) return false;
    for (int i = 0; i < 4; ++i)
        if (smith::mod_divisor[i] != 0 || smith::mod_quotient[i] != 0) return false;
    return smith::modmpl == nullptr && smith::nbits == 0 && smith::modlenMULTUNITS == 0 &&
           smith::mshift == 0 && smith::reciph == 0 && smith::recipl == 0 && smith::mutemp == 0;
}

// mp_modexp at precision p against BN_mod_exp.
void check_power(const BIGNUM* base, const BIGNUM* exponent, const BIGNUM* m, int p, BN_CTX* ctx) {
    Bn expected = bn_new();
    ASSERT_EQ(1, BN_mod_exp(expected.get(), base, exponent, m, ctx));
    MpPrecision prec(p);
    Num in = num_from(base, p), e = num_from(exponent, p), mod = num_from(m, p), out;
    ASSERT_EQ(0, mp_modexp(out.p(), in.p(), e.p(), mod.p()));
    EXPECT_TRUE(equal(out.p(), p, expected.get()))
        << "m=" << hex(m) << " base=" << hex(base) << " e=" << hex(exponent) << " p=" << p
        << "\n got " << hex(out.p(), p) << "\n want " << hex(expected.get());
    EXPECT_TRUE(out.guards_intact(p));
    EXPECT_EQ(p, global_precision);
    EXPECT_TRUE(staged_state_is_wiped());
}

int status(const BIGNUM* base, const BIGNUM* exponent, const BIGNUM* m, int p, Num& out) {
    MpPrecision prec(p);
    Num in = num_from(base, p), e = num_from(exponent, p), mod = num_from(m, p);
    for (int i = 0; i < p; ++i) out[i] = 0x5555;
    const int rc = mp_modexp(out.p(), in.p(), e.p(), mod.p());
    EXPECT_EQ(p, global_precision);
    return rc;
}

}  // namespace

TEST(ModExp, RandomModuliAndExponents) {
    Rand rnd(200);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 34, 47, 48, 49, 64, 65, 100, 128, 255, 256, 257, 448, 512, 513, 640, 1024,
                     1279, 1280}) {
        for (int iter = 0; iter < 3; ++iter) {
            Bn m = rnd.exact_bits(bits);
            if (iter == 0) BN_set_bit(m.get(), 0);  // odd, as an RSA modulus
            const int ml = (bits + 15) / 16;
            check_power(rnd.below(m.get()).get(), rnd.below(m.get()).get(), m.get(), ml, ctx.get());
        }
    }
}

TEST(ModExp, AdversarialModuli) {
    Rand rnd(201);
    Ctx ctx(BN_CTX_new());
    for (int bits : {33, 48, 64, 65, 512, 1280}) {
        for (const Bn& m : hard_moduli(bits, rnd)) {
            const int ml = (bits + 15) / 16;
            Bn m1 = bn_copy(m.get());
            BN_sub_word(m1.get(), 1);
            check_power(m1.get(), m1.get(), m.get(), ml, ctx.get());
            Bn e = bits > 300 ? rnd.below_pow2(64) : rnd.below(m.get());  // keep 1280 bits quick
            check_power(rnd.below(m.get()).get(), e.get(), m.get(), ml, ctx.get());
        }
    }
}

TEST(ModExp, CallerPrecisionAboveTheModulusLength) {
    Rand rnd(202);
    Ctx ctx(BN_CTX_new());
    for (int bits : {40, 100, 520}) {
        Bn m = rnd.exact_bits(bits);
        check_power(rnd.below(m.get()).get(), rnd.below(m.get()).get(), m.get(), MP_MAX_UNITS,
                    ctx.get());
        check_power(rnd.below(m.get()).get(), bn_word(65537).get(), m.get(), 64, ctx.get());
    }
}

// Not the working size of any caller, but exact all the same.
TEST(ModExp, ModuliOfAtMostThirtyTwoBits) {
    Rand rnd(203);
    Ctx ctx(BN_CTX_new());
    for (int bits = 2; bits <= 32; ++bits) {
        Bn m = rnd.exact_bits(bits);
        check_power(rnd.below(m.get()).get(), rnd.below(m.get()).get(), m.get(), 2, ctx.get());
        check_power(rnd.below(m.get()).get(), rnd.below(m.get()).get(), m.get(), 5, ctx.get());
    }
}

TEST(ModExp, ExponentOneReturnsTheBase) {
    Rand rnd(204);
    Ctx ctx(BN_CTX_new());
    Bn m = rnd.exact_bits(300);
    Bn x = rnd.below(m.get());
    Num out;
    ASSERT_EQ(0, status(x.get(), bn_word(1).get(), m.get(), 19, out));
    EXPECT_TRUE(equal(out.p(), 19, x.get()));
}

TEST(ModExp, StatusCodesAndTheOneOnEveryError) {
    Rand rnd(205);
    const int p = 10;
    Bn m = rnd.exact_bits(150);
    Bn x = rnd.below(m.get());
    Bn zero = bn_word(0);
    Num out;

    // Exponent zero: 1 and status 0, even for a zero modulus; -1 when the base is zero too.
    EXPECT_EQ(0, status(x.get(), zero.get(), zero.get(), p, out));
    EXPECT_TRUE(equal(out.p(), p, bn_word(1).get()));
    EXPECT_EQ(-1, status(zero.get(), zero.get(), m.get(), p, out));
    EXPECT_TRUE(equal(out.p(), p, bn_word(1).get()));

    EXPECT_EQ(-2, status(x.get(), bn_word(3).get(), zero.get(), p, out));
    EXPECT_TRUE(equal(out.p(), p, bn_word(1).get()));

    EXPECT_EQ(-3, status(m.get(), bn_word(3).get(), m.get(), p, out)) << "base equal to the modulus";
    EXPECT_TRUE(equal(out.p(), p, bn_word(1).get()));
    Bn above = bn_copy(m.get());
    BN_add_word(above.get(), 1);
    EXPECT_EQ(-3, status(above.get(), bn_word(3).get(), m.get(), p, out));

    EXPECT_EQ(-4, status(x.get(), m.get(), m.get(), p, out)) << "exponent equal to the modulus";
    EXPECT_TRUE(equal(out.p(), p, bn_word(1).get()));

    // A zero base with a non-zero exponent is a plain zero result.
    EXPECT_EQ(0, status(zero.get(), bn_word(5).get(), m.get(), p, out));
    EXPECT_TRUE(equal(out.p(), p, zero.get()));
}

TEST(ModExp, LeavesTheStagedStateWipedAfterAnEarlierStaging) {
    Rand rnd(206);
    Ctx ctx(BN_CTX_new());
    // A caller's own staging is replaced and wiped by the power.
    Bn other = rnd.exact_bits(900);
    {
        MpPrecision prec(MP_MAX_UNITS);
        Num n = num_from(other.get(), MP_MAX_UNITS);
        stage_smith_modulus(n.p());
    }
    Bn m = rnd.exact_bits(200);
    check_power(rnd.below(m.get()).get(), rnd.below(m.get()).get(), m.get(), 13, ctx.get());
}
