// The authentication proof, checked with OpenSSL's BIGNUM the way the server
// checks it: Y_i^E == X_i * H^(w_i) mod N.
#include <gtest/gtest.h>

#include "scripted_random.h"
#include "mparith/mparith.h"
#include "ndsauth/ndsauth.h"
#include "oracle.h"

namespace {

const uint8_t kNonce[4] = {0x10, 0x20, 0x30, 0x40};

struct Proof {
    int rc = -1;
    Bytes bytes;
    size_t cursor_moved = 0;
};

Proof run(const Bytes& pub, const Bytes& priv, const Bytes& cred, size_t room = 1024) {
    const auto pub_area = key_area(pub);
    const auto priv_area = key_area(priv);
    std::vector<uint8_t> store(room);
    NWDSBuf buf;
    NWDSBufSetup(&buf, store.data(), store.size());
    Proof p;
    p.rc = gen_auth_data(&buf, pub_area, priv_area, kNonce, cred.data(), cred.size());
    size_t len = 0;
    uint8_t* data = NWDSBufRetrieve(&buf, &len);
    p.bytes.assign(data, data + len);
    p.cursor_moved = len;
    return p;
}

Bytes credential(uint8_t seed) {
    Bytes c = {1, 0, 0, 0, 6, 0};
    put_bytes(c, seq_bytes(12, seed));
    put16(c, 0);
    put16(c, 8);
    put_bytes(c, Bytes{'a', 0, 'd', 0, 'm', 0, 0, 0});
    return c;
}

Bn commitment(const RsaKey& k, const Bn& r) {
    return bn_modexp(r.get(), bn_le(k.e).get(), bn_le(k.n).get());
}

// For a 512-bit modulus: 64 significant bytes whose last is masked to zero,
// width 66, precision 33, and a 408-byte proof.
TEST(AuthProof, LayoutAndCommitmentsFor512BitKey) {
    const RsaKey k = make_rsa(512);
    const Bytes cred = credential(1);
    Bytes r[3];
    reset_random();
    for (uint8_t i = 0; i < 3; ++i) {
        r[i] = seq_bytes(64, static_cast<uint8_t>(0x31 * (i + 1)));
        script_random(r[i]);
        r[i][63] = 0;  // the top-byte mask is 0 for a multiple of 8 bits
    }
    const MpPrecision before(7);
    const Proof p = run(public_record(k), key_record(private_body(k)), cred);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(random_drawn(), 3u * 64u);
    EXPECT_EQ(global_precision, 7);  // worked at 33 units, then put back
    ASSERT_EQ(p.bytes.size(), 408u);
    EXPECT_EQ(Bytes(p.bytes.begin(), p.bytes.begin() + 12),
              (Bytes{0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x10, 0x00, 0x03, 0x00, 0xC6, 0x00}));
    for (size_t i = 0; i < 3; ++i) {
        const Bytes want = le_of(commitment(k, bn_le(r[i])).get(), 66);
        EXPECT_EQ(Bytes(p.bytes.begin() + 12 + 66 * i, p.bytes.begin() + 12 + 66 * (i + 1)), want) << i;
    }
    EXPECT_EQ(proof_fault(k, p.bytes, kNonce, cred), "");
}

// The signature must be right whichever prime is larger and however the
// CRT difference falls; several credentials per key give both signs of
// m1 - m2 and values of m2 at or above P.
TEST(AuthProof, VerifiesForKeySizesAndPrimeOrders) {
    struct KeyCase {
        int bits;
        bool q_above_p;
        int p_bits;
    };
    const KeyCase keys[] = {{512, false, 0}, {512, true, 0},   {1024, false, 0},
                            {1024, true, 400}, {1264, false, 0}, {1264, true, 0}};
    for (const KeyCase& kc : keys) {
        const RsaKey k = make_rsa(kc.bits, kc.q_above_p, kc.p_bits);
        SCOPED_TRACE(testing::Message() << kc.bits << " bits, Q > P: " << kc.q_above_p);
        for (uint8_t seed = 0; seed < 6; ++seed) {
            const Bytes cred = credential(seed);
            const Proof p = run(public_record(k), key_record(private_body(k)), cred);
            ASSERT_EQ(p.rc, 0);
            EXPECT_EQ(proof_fault(k, p.bytes, kNonce, cred), "") << "credential " << int(seed);
        }
    }
}

// A 509-bit modulus keeps 5 bits of the top random byte, so a draw can reach
// N: one equal to N becomes N - 1, one above N becomes 2N - r.
TEST(AuthProof, RandomValuesAtOrAboveModulusAreFolded) {
    const RsaKey k = make_rsa(509);
    const ProofSizes sz = proof_sizes(509);
    EXPECT_EQ(sz.significant, 64u);
    EXPECT_EQ(sz.top_mask, 0x1F);
    EXPECT_EQ(sz.size, 66u);

    const Bytes r0 = le_of(bn_le(k.n).get(), 64);
    Bytes r1(64, 0xFF);
    reset_random();
    script_random(r0);
    script_random(r1);
    r1[63] = 0x1F;
    const Bytes cred = credential(7);
    const Proof p = run(public_record(k), key_record(private_body(k)), cred);
    ASSERT_EQ(p.rc, 0);

    Bn n = bn_le(k.n);
    Bn n_minus_1(BN_dup(n.get()));
    BN_sub_word(n_minus_1.get(), 1);
    Bn folded(BN_new());
    BN_lshift1(folded.get(), n.get());
    BN_sub(folded.get(), folded.get(), bn_le(r1).get());
    EXPECT_EQ(Bytes(p.bytes.begin() + 12, p.bytes.begin() + 78), le_of(commitment(k, n_minus_1).get(), 66));
    EXPECT_EQ(Bytes(p.bytes.begin() + 78, p.bytes.begin() + 144), le_of(commitment(k, folded).get(), 66));
    EXPECT_EQ(proof_fault(k, p.bytes, kNonce, cred), "");
}

TEST(AuthProof, FailsCleanlyOnKeysItCannotUse) {
    const RsaKey k = make_rsa(512);
    const Bytes pub = public_record(k), priv = key_record(private_body(k));
    const Bytes cred = credential(2);

    // Beyond the precision: 1265 bits needs 81 units.
    const RsaKey wide = make_rsa(1265);
    Proof p = run(public_record(wide), key_record(private_body(wide)), cred);
    EXPECT_EQ(p.rc, 1);
    EXPECT_EQ(p.cursor_moved, 0u);

    // An exponent the power cannot take fails after the proof was reserved:
    // nothing of it stays in the buffer.
    p = run(key_record(key_body({{"NN", k.n}, {"EN", k.n}})), priv, cred);
    EXPECT_EQ(p.rc, 1);
    EXPECT_EQ(p.cursor_moved, 0u);

    // Proof buffer too small for 408 bytes.
    EXPECT_EQ(run(pub, priv, cred, 404).rc, 1);

    // Missing chunks and bad heads.
    EXPECT_EQ(run(pub, key_record(key_body({{"PN", k.p}, {"QN", k.q}, {"DP", k.dp}, {"DQ", k.dq}})), cred).rc, 1);
    EXPECT_EQ(run(key_record(key_body({{"EN", k.e}})), priv, cred).rc, 1);
    EXPECT_EQ(run(key_record(key_body({{"NN", k.n}})), priv, cred).rc, 1);
    Bytes bad_priv = priv;
    bad_priv[6] = 2;
    EXPECT_EQ(run(pub, bad_priv, cred).rc, 1);
    // Primes too small to stage.
    EXPECT_EQ(run(pub, key_record(key_body({{"PN", Bytes{7}}, {"QN", k.q}, {"DP", k.dp}, {"DQ", k.dq},
                                           {"CR", k.cr}})),
                  cred)
                  .rc,
              1);
}

}  // namespace
