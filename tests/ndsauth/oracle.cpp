#include "oracle.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "nwcrypto/nwcrypto.h"

namespace {

BN_CTX* ctx() {
    static BN_CTX* c = BN_CTX_new();
    return c;
}

Bn fresh() { return Bn(BN_new()); }

}  // namespace

Bn bn_le(std::span<const uint8_t> le) {
    return Bn(BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr));
}

Bytes le_of(const BIGNUM* b, size_t width) {
    if (width == 0) width = static_cast<size_t>(BN_num_bytes(b));
    Bytes out(width);
    if (width != 0 && BN_bn2lebinpad(b, out.data(), static_cast<int>(width)) < 0)
        throw std::runtime_error("number wider than its field");
    return out;
}

Bn bn_modexp(const BIGNUM* base, const BIGNUM* exp, const BIGNUM* mod) {
    Bn r = fresh();
    BN_mod_exp(r.get(), base, exp, mod, ctx());
    return r;
}

RsaKey make_rsa(int bits, bool q_above_p, int p_bits) {
    if (p_bits == 0) p_bits = bits / 2;
    Bn e = fresh();
    BN_set_word(e.get(), 65537);
    for (;;) {
        Bn p = fresh(), q = fresh();
        BN_generate_prime_ex(p.get(), p_bits, 0, nullptr, nullptr, nullptr);
        BN_generate_prime_ex(q.get(), bits - p_bits, 0, nullptr, nullptr, nullptr);
        if (BN_cmp(p.get(), q.get()) == 0) continue;
        if ((BN_cmp(q.get(), p.get()) > 0) != q_above_p) std::swap(p, q);
        Bn n = fresh();
        BN_mul(n.get(), p.get(), q.get(), ctx());
        if (BN_num_bits(n.get()) != bits) continue;
        Bn p1(BN_dup(p.get())), q1(BN_dup(q.get())), phi = fresh();
        BN_sub_word(p1.get(), 1);
        BN_sub_word(q1.get(), 1);
        BN_mul(phi.get(), p1.get(), q1.get(), ctx());
        Bn d(BN_mod_inverse(nullptr, e.get(), phi.get(), ctx()));
        if (!d) continue;
        Bn dp = fresh(), dq = fresh();
        BN_mod(dp.get(), d.get(), p1.get(), ctx());
        BN_mod(dq.get(), d.get(), q1.get(), ctx());
        Bn cr(BN_mod_inverse(nullptr, q.get(), p.get(), ctx()));
        RsaKey k;
        k.bits = bits;
        k.n = le_of(n.get(), 0);
        k.e = le_of(e.get(), 0);
        k.d = le_of(d.get(), 0);
        k.p = le_of(p.get(), 0);
        k.q = le_of(q.get(), 0);
        k.dp = le_of(dp.get(), 0);
        k.dq = le_of(dq.get(), 0);
        k.cr = le_of(cr.get(), 0);
        return k;
    }
}

Bytes chunk(const char* tag, std::span<const uint8_t> data) {
    if (data.size() > 510) throw std::runtime_error("chunk too long");
    const size_t a = data.size() < 255 ? data.size() : 255;
    Bytes c(4 + data.size());
    c[0] = static_cast<uint8_t>(tag[0]);
    c[1] = static_cast<uint8_t>(tag[1]);
    c[2] = static_cast<uint8_t>(a);
    c[3] = static_cast<uint8_t>(data.size() - a);
    std::copy(data.begin(), data.end(), c.begin() + 4);
    return c;
}

Bytes key_body(const std::vector<std::pair<const char*, Bytes>>& chunks) {
    Bytes body;
    for (const auto& [tag, data] : chunks) put_bytes(body, chunk(tag, data));
    uint8_t check[8] = {};
    nwhash1(check, 8, body.data(), static_cast<int>(body.size()));
    Bytes ma(16, 0);
    std::memcpy(ma.data(), check, 8);
    put_bytes(body, chunk("MA", ma));
    return body;
}

Bytes key_record(std::span<const uint8_t> body) {
    Bytes r = {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00};
    put16(r, static_cast<uint16_t>(body.size()));
    put_bytes(r, body);
    return r;
}

Bytes public_record(const RsaKey& k) { return key_record(key_body({{"NN", k.n}, {"EN", k.e}})); }

Bytes private_body(const RsaKey& k) {
    return key_body({{"PN", k.p}, {"QN", k.q}, {"DP", k.dp}, {"DQ", k.dq}, {"CR", k.cr}});
}

std::array<uint8_t, 1024> key_area(std::span<const uint8_t> record) {
    std::array<uint8_t, 1024> a{};
    std::memcpy(a.data(), record.data(), record.size());
    return a;
}

Bytes rc2_cbc(const uint8_t* key, std::span<const uint8_t> in, bool encrypt) {
    static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
    if (legacy == nullptr || deflt == nullptr) throw std::runtime_error("no legacy provider");
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    const uint8_t iv[8] = {};
    const int enc = encrypt ? 1 : 0;
    Bytes out(in.size() + 16);
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherInit_ex(c, EVP_rc2_cbc(), nullptr, nullptr, nullptr, enc) == 1 &&
              EVP_CIPHER_CTX_set_key_length(c, 8) == 1 &&
              EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_SET_RC2_KEY_BITS, 64, nullptr) == 1 &&
              EVP_CipherInit_ex(c, nullptr, nullptr, key, iv, enc) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, 0) == 1 &&
              EVP_CipherUpdate(c, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(c, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(c);
    if (!ok) throw std::runtime_error("RC2 failed");
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

std::array<uint8_t, 8> oracle_envelope_key(std::span<const uint8_t> secret) {
    std::array<uint8_t, 8> k{};
    for (int i = 0; i < 10; ++i) nwhash1(k.data(), 8, secret.data(), static_cast<int>(secret.size()));
    return k;
}

std::optional<Bytes> oracle_open(std::span<const uint8_t> secret, std::span<const uint8_t> env) {
    if (env.size() < 12 || get32(env, 0) != 1 || get32(env, 4) != 0x00060001) return std::nullopt;
    const size_t c = get16(env, 8), n = get16(env, 10);
    if (env.size() != 12 + c || c % 8 != 0 || n + 6 > c) return std::nullopt;
    const auto key = oracle_envelope_key(secret);
    Bytes plain = rc2_cbc(key.data(), env.subspan(12), false);
    const size_t pad = c - n - 5;
    if (pad != 8 - (n + 5) % 8) return std::nullopt;
    for (size_t i = n; i < n + pad; ++i)
        if (plain[i] != pad) return std::nullopt;
    uint8_t check[5] = {};
    nwhash1(check, 5, plain.data(), static_cast<int>(n + pad));
    if (std::memcmp(check, plain.data() + n + pad, 5) != 0) return std::nullopt;
    plain.resize(n);
    return plain;
}

std::string proof_fault(const RsaKey& k, std::span<const uint8_t> proof, const uint8_t* nonce,
                        std::span<const uint8_t> cred) {
    const size_t size = static_cast<size_t>((k.bits + 31) & ~15) / 8;
    if (proof.size() != 12 + 6 * size) return "proof length " + std::to_string(proof.size());
    if (get32(proof, 0) != 1 || get32(proof, 4) != 0x00100008 || get16(proof, 8) != 3 ||
        get16(proof, 10) != 3 * size)
        return "proof head";

    uint8_t state[NWHASH2_STATE_SIZE] = {};
    nwhash2block(state, cred.data(), static_cast<int>(cred.size()));
    nwhash2end(state);
    Bn h = bn_le(std::span<const uint8_t>(state, 16));

    Bytes challenge;
    put32(challenge, 0);
    put32(challenge, 60);
    put_bytes(challenge, std::span<const uint8_t>(nonce, 4));
    put32(challenge, static_cast<uint32_t>(cred.size()));
    put_bytes(challenge, cred);
    put_bytes(challenge, proof.subspan(12, 3 * size));
    uint8_t digest[NWHASH2_STATE_SIZE] = {};
    nwhash2block(digest, challenge.data(), static_cast<int>(challenge.size()));
    nwhash2end(digest);

    Bn n = bn_le(k.n), e = bn_le(k.e);
    for (size_t i = 0; i < 3; ++i) {
        Bn x = bn_le(proof.subspan(12 + i * size, size));
        Bn y = bn_le(proof.subspan(12 + (3 + i) * size, size));
        if (BN_cmp(x.get(), n.get()) >= 0 || BN_cmp(y.get(), n.get()) >= 0) return "number above N";
        Bn w = fresh();
        BN_set_word(w.get(), static_cast<BN_ULONG>(digest[2 * i] | (digest[2 * i + 1] << 8)));
        Bn lhs = bn_modexp(y.get(), e.get(), n.get());
        Bn hw = bn_modexp(h.get(), w.get(), n.get());
        Bn rhs = fresh();
        BN_mod_mul(rhs.get(), x.get(), hw.get(), n.get(), ctx());
        if (BN_cmp(lhs.get(), rhs.get()) != 0) return "round " + std::to_string(i) + " does not verify";
    }
    return "";
}
