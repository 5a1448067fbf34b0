// The sealed form of the login request: SkEnvelope sizes and contents opened
// with OpenSSL's RC2, the RSA block opened with an OpenSSL private key, and
// the public-key operation checked against BN_mod_exp.
#include <gtest/gtest.h>

#include <cstring>

#include "scripted_random.h"
#include "mparith/mparith.h"
#include "ndsauth/ndsauth.h"
#include "nwcrypto/nwcrypto.h"
#include "oracle.h"

namespace {

const Bytes kSealHead = {0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x00};
const Bytes kBlockHead = {0x41, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                          0x01, 0x00, 0x09, 0x00, 0x35, 0x00, 0x1C, 0x00};

const RsaKey& server448() {
    static const RsaKey k = make_rsa(448);
    return k;
}

// The RSA block of a sealed form, opened with the private key.
Bytes open_rsa_block(const RsaKey& k, std::span<const uint8_t> sealed) {
    Bn c = bn_le(sealed.subspan(28, 56));
    Bn m = bn_modexp(c.get(), bn_le(k.d).get(), bn_le(k.n).get());
    return le_of(m.get(), 56);
}

TEST(SkEnvelope, SizesLayoutAndContentMatchOpenSsl) {
    struct Case {
        size_t n, pad, c;
    };
    const Case cases[] = {{4, 7, 16}, {3, 8, 16}, {0, 3, 8}, {1064, 3, 1072}, {11, 8, 24}};
    const Bytes secret = seq_bytes(28, 5);
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.n);
        const Bytes data = seq_bytes(tc.n, 1);
        Bytes dest(tc.n + 25 + 16, 0xAA);
        size_t total = 0;
        __NWEncryptWithSK(secret.data(), secret.size(), data.data(), data.size(), dest, &total);
        ASSERT_EQ(total, 12 + tc.c);
        for (size_t i = total; i < dest.size(); ++i) ASSERT_EQ(dest[i], 0xAA) << "written past the envelope";
        const Bytes head(dest.begin(), dest.begin() + 8);
        EXPECT_EQ(head, (Bytes{0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0x00}));
        EXPECT_EQ(get16(dest, 8), tc.c);
        EXPECT_EQ(get16(dest, 10), tc.n);

        const auto key = oracle_envelope_key(secret);
        const Bytes plain = rc2_cbc(key.data(), std::span(dest).subspan(12, tc.c), false);
        for (size_t i = tc.n; i < tc.n + tc.pad; ++i) EXPECT_EQ(plain[i], tc.pad);
        const auto opened = oracle_open(secret, std::span(dest).first(total));
        ASSERT_TRUE(opened.has_value());
        EXPECT_EQ(*opened, data);

        // The same part built directly under the key.
        Bytes part(tc.n + 13, 0);
        size_t c = 0;
        __AlignAndEncryptBlockWithSK(key, data.data(), data.size(), part, &c);
        EXPECT_EQ(c, tc.c);
        EXPECT_TRUE(std::equal(part.begin(), part.begin() + c, dest.begin() + 12));
    }
}

TEST(RsaCrypt2, SealedFormOpensWithThePrivateKey) {
    const RsaKey& k = server448();
    const auto area = key_area(public_record(k));
    const Bytes source = seq_bytes(1064, 3);
    uint8_t src_store[1200], dst_store[1200];
    NWDSBuf src, dst;
    NWDSBufSetup(&src, src_store, sizeof src_store);
    ASSERT_EQ(NWDSBufPut(&src, source.data(), source.size()), 0);
    NWDSBufSetup(&dst, dst_store, sizeof dst_store);
    ASSERT_EQ(NWDSBufPut32(&dst, 0x11223344), 0);  // appended after what is there

    ASSERT_EQ(rsa_crypt2(area, &src, &dst), 0);
    size_t len = 0;
    NWDSBufRetrieve(&dst, &len);
    ASSERT_EQ(len, 4u + 1172u);
    EXPECT_EQ(get32(Bytes(dst_store, dst_store + 4), 0), 0x11223344u);
    const Bytes sealed(dst_store + 4, dst_store + 4 + 1172);

    EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 8), kSealHead);
    EXPECT_EQ(get32(sealed, 8), 1160u);
    EXPECT_EQ(Bytes(sealed.begin() + 12, sealed.begin() + 28), kBlockHead);
    EXPECT_EQ(get32(sealed, 84), 1084u);

    const Bytes block = open_rsa_block(k, sealed);
    EXPECT_EQ(block[0], 0x0B);
    for (size_t i = 29; i < 40; ++i) EXPECT_EQ(block[i], 0x0B) << i;
    uint8_t check5[5] = {}, check2[2] = {};
    nwhash1(check5, 5, block.data() + 1, 39);
    nwhash1(check2, 2, block.data(), 45);
    EXPECT_TRUE(std::equal(check5, check5 + 5, block.begin() + 40));
    EXPECT_TRUE(std::equal(check2, check2 + 2, block.begin() + 45));
    for (size_t i = 52; i < 56; ++i) EXPECT_EQ(block[i], 0) << i;

    const Bytes secret(block.begin() + 1, block.begin() + 29);
    const auto opened = oracle_open(secret, std::span(sealed).subspan(88));
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, source);
}

// With a modulus above 448 bits the block is still sent as 56 bytes: the low
// bytes of block^e mod N. The block is rebuilt here from the scripted random
// bytes, in the order they are drawn (the secret, then five).
TEST(RsaCrypt2, WideServerKeyBlockIsCutTo56Bytes) {
    const RsaKey k = make_rsa(512);
    const auto area = key_area(public_record(k));
    const Bytes secret = seq_bytes(28, 0x40), tail = {1, 2, 3, 4, 5};
    reset_random();
    script_random(secret);
    script_random(tail);

    Bytes block = {0x0B};
    put_bytes(block, secret);
    block.insert(block.end(), 11, 0x0B);
    uint8_t check5[5] = {}, check2[2] = {};
    nwhash1(check5, 5, block.data() + 1, 39);
    block.insert(block.end(), check5, check5 + 5);
    nwhash1(check2, 2, block.data(), 45);
    block.insert(block.end(), check2, check2 + 2);
    put_bytes(block, tail);
    block.insert(block.end(), 4, 0);
    ASSERT_EQ(block.size(), 56u);

    uint8_t src_store[16] = {}, dst_store[256];
    NWDSBuf src, dst;
    NWDSBufSetup(&src, src_store, sizeof src_store);
    NWDSBufPut32(&src, 7);
    NWDSBufSetup(&dst, dst_store, sizeof dst_store);
    ASSERT_EQ(rsa_crypt2(area, &src, &dst), 0);
    EXPECT_EQ(random_drawn(), 33u);

    Bn c = bn_modexp(bn_le(block).get(), bn_le(k.e).get(), bn_le(k.n).get());
    const Bytes full = le_of(c.get(), 64);
    EXPECT_EQ(Bytes(dst_store + 28, dst_store + 84), Bytes(full.begin(), full.begin() + 56));
    const auto opened = oracle_open(secret, Bytes(dst_store + 88, dst_store + 88 + 28));
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, (Bytes{7, 0, 0, 0}));
}

TEST(RsaCrypt2, FailsWithoutRoomOrUsableKeyAndAppendsNothing) {
    const auto good = key_area(public_record(server448()));
    auto bad = good;
    bad[4] = 0x04;  // header differs
    const Bytes source = seq_bytes(1064, 3);
    uint8_t src_store[1200], dst_store[1200];
    NWDSBuf src;
    NWDSBufSetup(&src, src_store, sizeof src_store);
    NWDSBufPut(&src, source.data(), source.size());

    NWDSBuf dst;
    NWDSBufSetup(&dst, dst_store, 1168);  // 4 bytes short of the 1172 needed
    EXPECT_EQ(rsa_crypt2(good, &src, &dst), 1);
    EXPECT_EQ(dst.cursor, dst.data);

    NWDSBufSetup(&dst, dst_store, sizeof dst_store);
    EXPECT_EQ(rsa_crypt2(bad, &src, &dst), 1);
    EXPECT_EQ(dst.cursor, dst.data);
}

TEST(ModExpKey, WidthFollowsModulusAndResultMatchesOpenSsl) {
    for (int bits : {448, 450, 1024, 1280}) {
        SCOPED_TRACE(bits);
        const RsaKey k = make_rsa(bits);
        const auto area = key_area(public_record(k));
        Bytes io = seq_bytes(56, 9);
        io[55] = io[54] = io[53] = io[52] = 0;
        Bn expect = bn_modexp(bn_le(io).get(), bn_le(k.e).get(), bn_le(k.n).get());
        const MpPrecision before(1);
        ASSERT_EQ(modexpkey(area.data(), area.size(), io.data(), io.data(), io.size()), 0);
        EXPECT_EQ(global_precision, 1);  // worked at n / 2 units, then put back
        const Bytes full = le_of(expect.get(), 160);
        EXPECT_EQ(io, Bytes(full.begin(), full.begin() + 56));
    }
}

TEST(ModExpKey, RejectsUnusableRecords) {
    const RsaKey k = server448();
    const Bytes in = seq_bytes(56, 1);
    Bytes out(56, 0xEE);
    const auto no_en = key_area(key_record(key_body({{"NN", k.n}})));
    EXPECT_EQ(modexpkey(no_en.data(), no_en.size(), in.data(), out.data(), 56), 1);
    const auto no_nn = key_area(key_record(key_body({{"EN", k.e}})));
    EXPECT_EQ(modexpkey(no_nn.data(), no_nn.size(), in.data(), out.data(), 56), 1);
    // Moduli the precision cannot hold, and moduli too small to stage.
    const auto wide = key_area(key_record(key_body({{"NN", Bytes(161, 0xFF)}, {"EN", k.e}})));
    EXPECT_EQ(modexpkey(wide.data(), wide.size(), in.data(), out.data(), 56), 1);
    const auto tiny = key_area(key_record(key_body({{"NN", Bytes{0xFB, 0xFF, 0xFF, 0xFF}}, {"EN", k.e}})));
    EXPECT_EQ(modexpkey(tiny.data(), tiny.size(), in.data(), out.data(), 56), 1);
    auto bad = key_area(public_record(k));
    bad[0] = 0x02;
    EXPECT_EQ(modexpkey(bad.data(), bad.size(), in.data(), out.data(), 56), 1);
    EXPECT_EQ(out, Bytes(56, 0xEE));
}

}  // namespace
