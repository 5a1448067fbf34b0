// OpenSSL's BIGNUM as the independent oracle for the unit arithmetic, and
// helpers for numbers with guard units above the precision.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "mparith/mparith.h"

static_assert(std::endian::native == std::endian::little,
              "a unit array's memory image is its little-endian byte string");

namespace oracle {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Ctx = std::unique_ptr<BN_CTX, CtxFree>;

constexpr MpUnit kGuard = 0xA55A;  // bit 0 clear: an OR of bit 0 shows
constexpr int kGuards = 4;

// A number of up to MP_MAX_UNITS units followed by guard units that no
// operation may touch.
struct Num {
    std::array<MpUnit, MP_MAX_UNITS + kGuards> u;
    Num() { u.fill(kGuard); }
    MpUnit* p() { return u.data(); }
    const MpUnit* p() const { return u.data(); }
    MpUnit& operator[](int i) { return u[i]; }
    MpUnit operator[](int i) const { return u[i]; }
    // The units from `from` upward still hold the guard value.
    bool guards_intact(int from) const {
        for (size_t i = static_cast<size_t>(from); i < u.size(); ++i)
            if (u[i] != kGuard) return false;
        return true;
    }
};

inline Bn bn_new() { return Bn(BN_new()); }

inline Bn bn_from(const MpUnit* r, int units) {
    return Bn(BN_lebin2bn(reinterpret_cast<const unsigned char*>(r), 2 * units, nullptr));
}

inline Bn bn_copy(const BIGNUM* b) { return Bn(BN_dup(b)); }

inline Bn bn_word(unsigned long w) {
    Bn b = bn_new();
    BN_set_word(b.get(), w);
    return b;
}

// 2^bits
inline Bn bn_pow2(int bits) {
    Bn b = bn_new();
    BN_set_bit(b.get(), bits);
    return b;
}

// Writes b into `units` units (b must fit); guard units stay.
inline void set_units(Num& r, int units, const BIGNUM* b) {
    ASSERT_LE(BN_num_bytes(b), 2 * units);
    ASSERT_EQ(2 * units,
              BN_bn2lebinpad(b, reinterpret_cast<unsigned char*>(r.p()), 2 * units));
}

inline Num num_from(const BIGNUM* b, int units) {
    Num r;
    set_units(r, units, b);
    return r;
}

// b mod 2^(16 units)
inline Bn truncated(const BIGNUM* b, int units) {
    Bn t = bn_copy(b);
    if (BN_num_bits(t.get()) > 16 * units) BN_mask_bits(t.get(), 16 * units);
    return t;
}

inline bool equal(const MpUnit* r, int units, const BIGNUM* expected) {
    Bn got = bn_from(r, units);
    return BN_cmp(got.get(), expected) == 0;
}

inline std::string hex(const BIGNUM* b) {
    char* s = BN_bn2hex(b);
    std::string out(s);
    OPENSSL_free(s);
    return out;
}

inline std::string hex(const MpUnit* r, int units) { return hex(bn_from(r, units).get()); }

// Uniform random numbers from a fixed seed.
class Rand {
  public:
    explicit Rand(uint64_t seed) : gen_(seed) {}

    uint64_t next() { return gen_(); }
    int range(int lo, int hi) {  // lo..hi inclusive
        return std::uniform_int_distribution<int>(lo, hi)(gen_);
    }
    MpUnit unit() { return static_cast<MpUnit>(gen_()); }

    // A random value of at most `bits` bits.
    Bn below_pow2(int bits) {
        Bn b = bn_new();
        if (bits == 0) return b;
        Num n;
        const int units = (bits + 15) / 16;
        for (int i = 0; i < units; ++i) n[i] = unit();
        if (bits % 16) n[units - 1] = static_cast<MpUnit>(n[units - 1] & ((1u << (bits % 16)) - 1));
        return bn_from(n.p(), units);
    }
    // A random value of exactly `bits` bits.
    Bn exact_bits(int bits) {
        Bn b = below_pow2(bits);
        BN_set_bit(b.get(), bits - 1);
        return b;
    }
    // A random value in [0, limit).
    Bn below(const BIGNUM* limit) {
        for (;;) {
            Bn b = below_pow2(BN_num_bits(limit));
            if (BN_cmp(b.get(), limit) < 0) return b;
        }
    }

  private:
    std::mt19937_64 gen_;
};

// Moduli of exactly `bits` bits (bits > 32) that stress the digit estimate:
// leading 32 bits all ones or nearly so (a reciprocal of 0x8000xxxx), leading
// 32 bits 0x80000000 (the divisor 2^31, whose reciprocal needs a 33rd bit),
// and plain random ones.
inline std::vector<Bn> hard_moduli(int bits, Rand& rnd) {
    std::vector<Bn> out;
    auto with_top = [&](uint32_t top32, bool random_rest) {
        Bn m = bn_word(top32);
        BN_lshift(m.get(), m.get(), bits - 32);
        if (random_rest) BN_add(m.get(), m.get(), rnd.below_pow2(bits - 32).get());
        out.push_back(std::move(m));
    };
    Bn all_ones = bn_pow2(bits);
    BN_sub_word(all_ones.get(), 1);
    out.push_back(std::move(all_ones));
    with_top(0xFFFFFFFFu, true);
    with_top(0xFFFFFFFFu, false);
    with_top(0xFFFFFFFEu, true);
    with_top(0xFFFFFFF0u, true);
    with_top(0xFFFF8000u, true);
    with_top(0x80000000u, false);  // a power of two
    with_top(0x80000000u, true);
    with_top(0x80000001u, true);
    Bn pow2_plus_one = bn_pow2(bits - 1);
    BN_add_word(pow2_plus_one.get(), 1);
    out.push_back(std::move(pow2_plus_one));
    out.push_back(rnd.exact_bits(bits));
    Bn odd = rnd.exact_bits(bits);
    BN_set_bit(odd.get(), 0);
    out.push_back(std::move(odd));
    return out;
}

// Operand pairs below m: the edges (0, 1, m - 1, m - 2) and random values.
inline std::vector<std::pair<Bn, Bn>> operand_pairs(const BIGNUM* m, Rand& rnd, int randoms) {
    std::vector<std::pair<Bn, Bn>> out;
    Bn m1 = bn_copy(m);
    BN_sub_word(m1.get(), 1);
    Bn m2 = bn_copy(m);
    BN_sub_word(m2.get(), 2);
    out.emplace_back(bn_copy(m1.get()), bn_copy(m1.get()));
    out.emplace_back(bn_copy(m1.get()), bn_copy(m2.get()));
    out.emplace_back(bn_copy(m2.get()), bn_copy(m2.get()));
    out.emplace_back(bn_copy(m1.get()), bn_word(1));
    out.emplace_back(bn_word(0), bn_copy(m1.get()));
    out.emplace_back(bn_copy(m1.get()), rnd.below(m));
    for (int i = 0; i < randoms; ++i) out.emplace_back(rnd.below(m), rnd.below(m));
    return out;
}

}  // namespace oracle
