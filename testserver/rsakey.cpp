#include "testserver/rsakey.h"

namespace ts {

Bn bn_new() { return Bn(BN_new()); }

Bn bn_from_le(std::span<const uint8_t> bytes) {
    return Bn(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

std::vector<uint8_t> bn_to_le(const BIGNUM* b) {
    const int n = BN_num_bytes(b);
    std::vector<uint8_t> out(n > 0 ? static_cast<size_t>(n) : 1u, 0);
    BN_bn2lebinpad(b, out.data(), static_cast<int>(out.size()));
    return out;
}

bool bn_to_le_fixed(const BIGNUM* b, std::span<uint8_t> out) {
    return BN_bn2lebinpad(b, out.data(), static_cast<int>(out.size())) ==
           static_cast<int>(out.size());
}

bool rsa_modexp(const BIGNUM* a, const BIGNUM* x, const BIGNUM* m, BIGNUM* r) {
    BN_CTX* ctx = BN_CTX_new();
    if (ctx == nullptr) return false;
    const bool ok = BN_mod_exp(r, a, x, m, ctx) == 1;
    BN_CTX_free(ctx);
    return ok;
}

namespace {

// One attempt: fills out and returns true when the primes gave a usable key.
bool attempt(int bits, bool q_above_p, BN_CTX* ctx, RsaKey& out) {
    Bn p = bn_new(), q = bn_new(), n = bn_new(), e = bn_new();
    Bn p1 = bn_new(), q1 = bn_new(), phi = bn_new(), d = bn_new();
    Bn dp = bn_new(), dq = bn_new(), cr = bn_new();
    if (!p || !q || !n || !e || !p1 || !q1 || !phi || !d || !dp || !dq || !cr) return false;
    const int pbits = (bits + 1) / 2;
    const int qbits = bits / 2;
    if (BN_generate_prime_ex(p.get(), pbits, 0, nullptr, nullptr, nullptr) != 1) return false;
    if (BN_generate_prime_ex(q.get(), qbits, 0, nullptr, nullptr, nullptr) != 1) return false;
    const int cmp = BN_cmp(p.get(), q.get());
    if (cmp == 0) return false;
    if ((cmp < 0) != q_above_p) std::swap(p, q);
    if (BN_mul(n.get(), p.get(), q.get(), ctx) != 1) return false;
    if (BN_num_bits(n.get()) != bits) return false;
    if (BN_set_word(e.get(), 65537) != 1) return false;
    if (BN_sub(p1.get(), p.get(), BN_value_one()) != 1) return false;
    if (BN_sub(q1.get(), q.get(), BN_value_one()) != 1) return false;
    if (BN_mul(phi.get(), p1.get(), q1.get(), ctx) != 1) return false;
    // No inverse when e divides p-1 or q-1: try other primes.
    if (BN_mod_inverse(d.get(), e.get(), phi.get(), ctx) == nullptr) return false;
    if (BN_mod(dp.get(), d.get(), p1.get(), ctx) != 1) return false;
    if (BN_mod(dq.get(), d.get(), q1.get(), ctx) != 1) return false;
    if (BN_mod_inverse(cr.get(), q.get(), p.get(), ctx) == nullptr) return false;
    out.n = std::move(n); out.e = std::move(e); out.d = std::move(d);
    out.p = std::move(p); out.q = std::move(q);
    out.dp = std::move(dp); out.dq = std::move(dq); out.cr = std::move(cr);
    out.bits = bits;
    return true;
}

}  // namespace

bool rsa_generate(int bits, bool q_above_p, RsaKey& out) {
    if (bits < 64) return false;
    BN_CTX* ctx = BN_CTX_new();
    if (ctx == nullptr) return false;
    bool ok = false;
    for (int tries = 0; tries < 200 && !ok; ++tries) ok = attempt(bits, q_above_p, ctx, out);
    BN_CTX_free(ctx);
    return ok;
}

}  // namespace ts
