// The unit arithmetic against OpenSSL's BIGNUM: carries and borrows, shifts,
// unsigned comparison, wraps, negation, products and the reciprocal, at many
// precisions, with guard units above the precision that must stay untouched.
#include <gtest/gtest.h>

#include "mparith/mparith.h"
#include "tests/mparith/bn_oracle.h"

using namespace oracle;

namespace {

const int kPrecisions[] = {1, 2, 3, 4, 5, 17, 28, 32, 64, 79, MP_MAX_UNITS};

}  // namespace

TEST(MpBasic, MemoryImageIsTheLittleEndianByteString) {
    Rand rnd(1);
    MpPrecision prec(64);
    Bn v = rnd.exact_bits(1024);
    Num n = num_from(v.get(), 64);
    unsigned char expected[128];
    ASSERT_EQ(128, BN_bn2lebinpad(v.get(), expected, sizeof expected));
    EXPECT_EQ(0, std::memcmp(expected, n.p(), 128));
    EXPECT_EQ(128u, 64 * sizeof(MpUnit));
}

TEST(MpBasic, InitSetsOneUnitAndClearsTheRest) {
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        Num n;
        for (int i = 0; i < p; ++i) n[i] = 0x1234;
        mp_init(n.p(), 0xBEEF);
        EXPECT_EQ(0xBEEF, n[0]);
        for (int i = 1; i < p; ++i) EXPECT_EQ(0, n[i]);
        EXPECT_TRUE(n.guards_intact(p)) << p;
    }
}

TEST(MpBasic, AddAndSubtractWithCarryAndBorrowMatchBignum) {
    Rand rnd(2);
    Ctx ctx(BN_CTX_new());
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        const Bn full = bn_pow2(16 * p);
        Bn all_ones = bn_copy(full.get());
        BN_sub_word(all_ones.get(), 1);
        for (int iter = 0; iter < 60; ++iter) {
            Bn x = iter == 0 ? bn_copy(all_ones.get()) : rnd.below_pow2(16 * p);
            Bn y = iter < 2 ? bn_word(iter == 0 ? 0 : 1) : rnd.below_pow2(rnd.range(0, 16 * p));
            if (iter == 1) x = bn_copy(all_ones.get());
            const int carry_in = iter % 2;

            Num r = num_from(x.get(), p);
            Num s = num_from(y.get(), p);
            const int carry = mp_addc(r.p(), s.p(), carry_in * 7);  // any non-zero carries 1
            Bn sum = bn_new();
            BN_add(sum.get(), x.get(), y.get());
            BN_add_word(sum.get(), carry_in);
            EXPECT_EQ(BN_cmp(sum.get(), full.get()) >= 0 ? 1 : 0, carry);
            EXPECT_TRUE(equal(r.p(), p, truncated(sum.get(), p).get())) << "p=" << p;
            EXPECT_TRUE(r.guards_intact(p));
            EXPECT_TRUE(s.guards_intact(p));

            Num d = num_from(x.get(), p);
            const int borrow = mp_subb(d.p(), s.p(), carry_in);
            Bn diff = bn_new();
            BN_sub(diff.get(), x.get(), y.get());
            BN_sub_word(diff.get(), carry_in);
            const bool negative = BN_is_negative(diff.get());
            EXPECT_EQ(negative ? 1 : 0, borrow);
            if (negative) BN_add(diff.get(), diff.get(), full.get());
            EXPECT_TRUE(equal(d.p(), p, diff.get())) << "p=" << p;
            EXPECT_TRUE(d.guards_intact(p));
        }
    }
}

TEST(MpBasic, RotateLeftShiftsThroughTheCarry) {
    Rand rnd(3);
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        for (int iter = 0; iter < 20; ++iter) {
            Bn x = rnd.below_pow2(16 * p);
            const int carry_in = iter % 2;
            Num r = num_from(x.get(), p);
            const int out = mp_rotate_left(r.p(), carry_in);
            EXPECT_EQ(BN_is_bit_set(x.get(), 16 * p - 1) ? 1 : 0, out);
            Bn expected = bn_new();
            BN_lshift1(expected.get(), x.get());
            BN_add_word(expected.get(), carry_in);
            EXPECT_TRUE(equal(r.p(), p, truncated(expected.get(), p).get()));
            EXPECT_TRUE(r.guards_intact(p));
        }
    }
}

TEST(MpBasic, ShiftRightByZeroToSixteenBits) {
    Rand rnd(4);
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        Bn x = rnd.exact_bits(16 * p);
        for (int bits = 0; bits <= 16; ++bits) {
            Num r = num_from(x.get(), p);
            mp_shift_right_bits(r.p(), bits);
            Bn expected = bn_new();
            BN_rshift(expected.get(), x.get(), bits);
            EXPECT_TRUE(equal(r.p(), p, expected.get())) << "p=" << p << " bits=" << bits;
            EXPECT_TRUE(r.guards_intact(p));
        }
        // By 16: every unit moves down one place and the top unit is zero.
        Num r = num_from(x.get(), p);
        Num before = r;
        mp_shift_right_bits(r.p(), 16);
        for (int i = 0; i + 1 < p; ++i) EXPECT_EQ(before[i + 1], r[i]);
        EXPECT_EQ(0, r[p - 1]);
    }
}

TEST(MpBasic, CompareIsUnsignedFromTheTopUnit) {
    Rand rnd(5);
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        // Top bit set against top bit clear: a signed unit compare would say less.
        Num high, low;
        mp_init(high.p(), 0);
        mp_init(low.p(), 0);
        high[p - 1] = 0x8000;
        low[p - 1] = 0x7FFF;
        for (int i = 0; i + 1 < p; ++i) low[i] = 0xFFFF;
        EXPECT_EQ(1, mp_compare(high.p(), low.p()));
        EXPECT_EQ(-1, mp_compare(low.p(), high.p()));
        EXPECT_EQ(0, mp_compare(high.p(), high.p()));
        if (p > 1) {  // a difference in unit 0 only
            Num a = low, b = low;
            b[0] = 0xFFFE;
            EXPECT_EQ(1, mp_compare(a.p(), b.p()));
            EXPECT_EQ(-1, mp_compare(b.p(), a.p()));
        }
        for (int iter = 0; iter < 30; ++iter) {
            Bn x = rnd.below_pow2(16 * p);
            Bn y = iter % 3 == 0 ? bn_copy(x.get()) : rnd.below_pow2(16 * p);
            Num nx = num_from(x.get(), p), ny = num_from(y.get(), p);
            EXPECT_EQ(BN_cmp(x.get(), y.get()), mp_compare(nx.p(), ny.p()));
        }
    }
}

TEST(MpBasic, IncrementDecrementAndNegateWrap) {
    Rand rnd(6);
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        Num r;
        for (int i = 0; i < p; ++i) r[i] = 0xFFFF;
        EXPECT_EQ(1, mp_inc(r.p()));
        EXPECT_EQ(0, significance(r.p()));
        EXPECT_EQ(1, mp_dec(r.p()));
        for (int i = 0; i < p; ++i) EXPECT_EQ(0xFFFF, r[i]);
        EXPECT_TRUE(r.guards_intact(p));

        mp_init(r.p(), 0);
        mp_neg(r.p());
        EXPECT_EQ(0, significance(r.p())) << "-0 is 0";

        mp_init(r.p(), 1);
        mp_neg(r.p());
        for (int i = 0; i < p; ++i) EXPECT_EQ(0xFFFF, r[i]) << "-1 is all ones";

        const Bn full = bn_pow2(16 * p);
        for (int iter = 0; iter < 20; ++iter) {
            Bn x = rnd.below_pow2(16 * p);
            if (BN_is_zero(x.get())) continue;
            Num n = num_from(x.get(), p);
            EXPECT_EQ(0, mp_inc(n.p()));
            EXPECT_EQ(0, mp_dec(n.p()));
            EXPECT_EQ(0, mp_dec(n.p()));
            Bn xm1 = bn_copy(x.get());
            BN_sub_word(xm1.get(), 1);
            EXPECT_TRUE(equal(n.p(), p, xm1.get()));

            Num neg = num_from(x.get(), p);
            mp_neg(neg.p());
            Bn expected = bn_new();
            BN_sub(expected.get(), full.get(), x.get());
            EXPECT_TRUE(equal(neg.p(), p, expected.get()));
            mp_neg(neg.p());
            EXPECT_TRUE(equal(neg.p(), p, x.get()));
            EXPECT_TRUE(neg.guards_intact(p));
        }
    }
}

TEST(MpBasic, SignificanceAndBitCount) {
    Rand rnd(7);
    MpPrecision prec(5);
    Num r;
    mp_init(r.p(), 0);
    EXPECT_EQ(0, significance(r.p()));
    EXPECT_EQ(0, countbits(r.p()));
    mp_init(r.p(), 1);
    EXPECT_EQ(1, significance(r.p()));
    EXPECT_EQ(1, countbits(r.p()));
    mp_init(r.p(), 0);
    r[1] = 1;
    EXPECT_EQ(2, significance(r.p()));
    EXPECT_EQ(17, countbits(r.p()));
    r[4] = 0x8000;
    EXPECT_EQ(5, significance(r.p()));
    EXPECT_EQ(80, countbits(r.p()));
    for (int p : kPrecisions) {
        MpPrecision inner(p);
        for (int bits = 0; bits <= 16 * p; bits += 1 + bits / 7) {
            Bn x = bits == 0 ? bn_word(0) : rnd.exact_bits(bits);
            Num n = num_from(x.get(), p);
            EXPECT_EQ(bits, countbits(n.p()));
            EXPECT_EQ((bits + 15) / 16, significance(n.p()));
        }
    }
}

TEST(MpBasic, TruncatedAndDoubleProductsMatchBignum) {
    Rand rnd(8);
    Ctx ctx(BN_CTX_new());
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        for (int iter = 0; iter < 15; ++iter) {
            Bn x = iter == 0 ? bn_word(0) : rnd.below_pow2(rnd.range(1, 16 * p));
            Bn y = rnd.below_pow2(iter == 1 ? 16 * p : rnd.range(1, 16 * p));
            if (iter == 2) {  // all ones times all ones
                x = bn_pow2(16 * p);
                BN_sub_word(x.get(), 1);
                y = bn_copy(x.get());
            }
            Num a = num_from(x.get(), p), b = num_from(y.get(), p);
            Bn exact = bn_new();
            BN_mul(exact.get(), x.get(), y.get(), ctx.get());

            Num prod;
            EXPECT_EQ(0, mp_mult(prod.p(), a.p(), b.p()));
            EXPECT_TRUE(equal(prod.p(), p, truncated(exact.get(), p).get())) << "p=" << p;
            EXPECT_TRUE(prod.guards_intact(p));

            std::array<MpUnit, 2 * MP_MAX_UNITS + 2> wide;
            wide.fill(kGuard);
            munit_prec = 0;
            mp_dmul(wide.data(), a.p(), b.p());
            EXPECT_EQ(p, munit_prec);
            EXPECT_TRUE(equal(wide.data(), 2 * p, exact.get())) << "p=" << p;
            EXPECT_EQ(kGuard, wide[2 * p]);
            EXPECT_TRUE(a.guards_intact(p) && b.guards_intact(p));
        }
    }
}

TEST(MpBasic, SingleUnitMultiplyAccumulateUsesItsOwnLength) {
    Rand rnd(9);
    MpPrecision prec(2);  // mp_smul ignores the global precision
    for (int n : {1, 3, 10, MP_MAX_UNITS}) {
        munit_prec = static_cast<uint16_t>(n);
        for (int iter = 0; iter < 20; ++iter) {
            Bn x = rnd.below_pow2(16 * n);
            Bn acc = rnd.below_pow2(16 * (n + 1));
            const MpUnit m = iter == 0 ? 0xFFFF : rnd.unit();
            if (iter == 0) {  // the largest accumulation: every step at 2^32 - 1
                x = bn_pow2(16 * n);
                BN_sub_word(x.get(), 1);
                acc = bn_pow2(16 * (n + 1));
                BN_sub_word(acc.get(), 1);
            }
            Num prod = num_from(acc.get(), n + 1);
            Num a = num_from(x.get(), n);
            mp_smul(prod.p(), a.p(), m);
            // prod += a * m modulo 2^(16(n+1)): the carry into prod[n] wraps.
            Bn expected = bn_new();
            BN_copy(expected.get(), x.get());
            BN_mul_word(expected.get(), m);
            BN_add(expected.get(), expected.get(), acc.get());
            EXPECT_TRUE(equal(prod.p(), n + 1, truncated(expected.get(), n + 1).get()));
            EXPECT_TRUE(prod.guards_intact(n + 1)) << "no carry beyond unit n";
        }
    }
}

TEST(MpBasic, ReciprocalIsTwiceTheQuotientOfTheDoubledPower) {
    Rand rnd(10);
    Ctx ctx(BN_CTX_new());
    for (int p : kPrecisions) {
        MpPrecision prec(p);
        for (int iter = 0; iter < 20; ++iter) {
            // Leave room for quotient bit n, except in the last rounds.
            const int n = iter < 17 ? rnd.range(1, 16 * p - 1) : 16 * p;
            Bn d = iter % 5 == 0 ? bn_pow2(n - 1) : rnd.exact_bits(n);
            Num divisor = num_from(d.get(), p);
            Num q;
            ASSERT_EQ(0, mp_recip(q.p(), divisor.p()));
            Bn expected = bn_new();
            if (BN_cmp(d.get(), bn_pow2(n - 1).get()) == 0) {
                // A power of two: every bit from n down to 1 is set.
                BN_lshift1(expected.get(), bn_pow2(n).get());
                BN_sub_word(expected.get(), 2);
            } else {
                Bn quotient = bn_new();
                BN_div(quotient.get(), nullptr, bn_pow2(2 * n - 1).get(), d.get(), ctx.get());
                BN_lshift1(expected.get(), quotient.get());
            }
            EXPECT_TRUE(equal(q.p(), p, truncated(expected.get(), p).get()))
                << "p=" << p << " n=" << n << " d=" << hex(d.get()) << " got " << hex(q.p(), p);
            EXPECT_TRUE(q.guards_intact(p));
            EXPECT_TRUE(divisor.guards_intact(p));
        }
    }
}

TEST(MpBasic, ReciprocalOfThirtyTwoBitDivisorsAtPrecisionThree) {
    MpPrecision prec(3);
    Rand rnd(11);
    for (int iter = 0; iter < 200; ++iter) {
        Num d;
        mp_init(d.p(), 0);
        const uint32_t v = iter == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(rnd.next()) | 0x80000001u;
        d[0] = static_cast<MpUnit>(v);
        d[1] = static_cast<MpUnit>(v >> 16);
        Num q;
        ASSERT_EQ(0, mp_recip(q.p(), d.p()));
        EXPECT_EQ(33, countbits(q.p())) << std::hex << v;
        const unsigned __int128 expected = 2 * ((static_cast<unsigned __int128>(1) << 63) / v);
        const uint64_t got = q[0] | (uint64_t{q[1]} << 16) | (uint64_t{q[2]} << 32);
        EXPECT_EQ(static_cast<uint64_t>(expected), got) << std::hex << v;
    }
    // The divisor 2^31: every quotient bit from 32 down to 1.
    Num d, q;
    mp_init(d.p(), 0);
    d[1] = 0x8000;
    ASSERT_EQ(0, mp_recip(q.p(), d.p()));
    EXPECT_EQ(0xFFFE, q[0]);
    EXPECT_EQ(0xFFFF, q[1]);
    EXPECT_EQ(0x0001, q[2]);
}

TEST(MpBasic, ReciprocalOfZeroFailsAndLeavesTheOutput) {
    MpPrecision prec(4);
    Num zero, q;
    mp_init(zero.p(), 0);
    for (int i = 0; i < 4; ++i) q[i] = static_cast<MpUnit>(0x1111 * (i + 1));
    Num before = q;
    EXPECT_EQ(-1, mp_recip(q.p(), zero.p()));
    EXPECT_EQ(before.u, q.u);
}
