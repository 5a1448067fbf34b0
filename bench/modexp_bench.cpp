// Modular power: mp_modexp beside OpenSSL's BN_mod_exp on the same numbers, at
// 448, 512 and 1024 bits (full-length exponents, odd moduli as in RSA).
//
// Run from the top of the source tree:
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DWRENACL_BENCH=ON -DWRENACL_TESTS=OFF
//   cmake --build build-bench -j2 --target bench_modexp
//   build-bench/bench/bench_modexp
//
// Each pair of lines (mp_modexp/N, BN_mod_exp/N) uses the same modulus, base
// and exponent, made from a fixed seed; the ratio of their times is the cost
// of the 16-bit-unit arithmetic against OpenSSL's.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "mparith/mparith.h"

namespace {

struct Operands {
    int units = 0;
    MpUnit modulus[MP_MAX_UNITS] = {};
    MpUnit base[MP_MAX_UNITS] = {};
    MpUnit exponent[MP_MAX_UNITS] = {};
    BIGNUM* bn_modulus = nullptr;
    BIGNUM* bn_base = nullptr;
    BIGNUM* bn_exponent = nullptr;
};

BIGNUM* to_bn(const MpUnit* r, int units) {
    return BN_lebin2bn(reinterpret_cast<const unsigned char*>(r), 2 * units, nullptr);
}

// A modulus of exactly `bits` bits, odd; a base below it and an exponent of
// bits - 1 bits (so below it too).
Operands make_operands(int bits) {
    std::mt19937_64 gen(0x5eed0000u + static_cast<unsigned>(bits));
    Operands o;
    o.units = (bits + 15) / 16;
    auto fill = [&](MpUnit* r, int nbits) {
        for (int i = 0; i < o.units; ++i) r[i] = static_cast<MpUnit>(gen());
        const int top = (nbits - 1) / 16;
        for (int i = top + 1; i < o.units; ++i) r[i] = 0;
        r[top] = static_cast<MpUnit>(r[top] & ((1u << ((nbits - 1) % 16 + 1)) - 1));
        r[top] = static_cast<MpUnit>(r[top] | (1u << ((nbits - 1) % 16)));
    };
    fill(o.modulus, bits);
    o.modulus[0] |= 1;
    fill(o.exponent, bits - 1);
    fill(o.base, bits - 1);
    o.bn_modulus = to_bn(o.modulus, o.units);
    o.bn_base = to_bn(o.base, o.units);
    o.bn_exponent = to_bn(o.exponent, o.units);
    return o;
}

const Operands& operands(int bits) {
    static Operands cache[3];
    const int slot = bits == 448 ? 0 : bits == 512 ? 1 : 2;
    if (cache[slot].units == 0) {
        cache[slot] = make_operands(bits);
        // Both sides must compute the same number before their times mean anything.
        const Operands& o = cache[slot];
        global_precision = static_cast<int16_t>(o.units);
        MpUnit out[MP_MAX_UNITS] = {};
        BN_CTX* ctx = BN_CTX_new();
        BIGNUM* expected = BN_new();
        BN_mod_exp(expected, o.bn_base, o.bn_exponent, o.bn_modulus, ctx);
        BIGNUM* got = nullptr;
        if (mp_modexp(out, o.base, o.exponent, o.modulus) == 0) got = to_bn(out, o.units);
        if (got == nullptr || BN_cmp(got, expected) != 0) {
            std::fprintf(stderr, "mp_modexp and BN_mod_exp disagree at %d bits\n", bits);
            std::exit(1);
        }
        BN_free(got);
        BN_free(expected);
        BN_CTX_free(ctx);
    }
    return cache[slot];
}

void BM_mp_modexp(benchmark::State& state) {
    const Operands& o = operands(static_cast<int>(state.range(0)));
    global_precision = static_cast<int16_t>(o.units);
    MpUnit out[MP_MAX_UNITS];
    for (auto _ : state) {
        int rc = mp_modexp(out, o.base, o.exponent, o.modulus);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(out);
    }
}

void BM_BN_mod_exp(benchmark::State& state) {
    const Operands& o = operands(static_cast<int>(state.range(0)));
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* out = BN_new();
    for (auto _ : state) {
        int rc = BN_mod_exp(out, o.bn_base, o.bn_exponent, o.bn_modulus, ctx);
        benchmark::DoNotOptimize(rc);
    }
    BN_free(out);
    BN_CTX_free(ctx);
}

}  // namespace

BENCHMARK(BM_mp_modexp)->Arg(448)->Arg(512)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BN_mod_exp)->Arg(448)->Arg(512)->Arg(1024)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
