// The block cipher against RFC 2268's known answers and against OpenSSL's
// RC2-CBC (64 effective key bits, zero IV) as an independent implementation.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "bytes.h"
#include "nwcrypto/nwcrypto.h"
#include "nwcrypto/rc2_internal.h"

namespace {

using Block = std::array<uint8_t, 8>;

// OpenSSL keeps RC2 in its legacy provider.
class OpenSslRc2 {
public:
    OpenSslRc2() {
        legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
        default_ = OSSL_PROVIDER_load(nullptr, "default");
        cipher_ = EVP_CIPHER_fetch(nullptr, "RC2-CBC", "provider=legacy");
    }
    ~OpenSslRc2() {
        EVP_CIPHER_free(cipher_);
        if (default_) OSSL_PROVIDER_unload(default_);
        if (legacy_) OSSL_PROVIDER_unload(legacy_);
    }
    bool ready() const { return cipher_ != nullptr; }

    // CBC over whole blocks only (data.size() must be a multiple of 8).
    Bytes run(bool encrypt, const Block& key, const Bytes& data) const {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        const uint8_t iv[8] = {};
        Bytes out(data.size() + 16);
        int n = 0, tail = 0;
        bool ok = ctx && EVP_CipherInit_ex(ctx, cipher_, nullptr, nullptr, nullptr, encrypt) &&
                  EVP_CIPHER_CTX_set_key_length(ctx, 8) &&
                  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, 64, nullptr) &&
                  EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv, encrypt) &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) &&
                  EVP_CipherUpdate(ctx, out.data(), &n, data.data(),
                                   static_cast<int>(data.size())) &&
                  EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
        EVP_CIPHER_CTX_free(ctx);
        if (!ok) return {};
        out.resize(static_cast<size_t>(n + tail));
        return out;
    }

private:
    OSSL_PROVIDER* legacy_ = nullptr;
    OSSL_PROVIDER* default_ = nullptr;
    EVP_CIPHER* cipher_ = nullptr;
};

Bytes whole_blocks(const Bytes& b) { return Bytes(b.begin(), b.begin() + (b.size() / 8) * 8); }

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

Block random_key(std::mt19937& rng) {
    Block k;
    for (auto& x : k) x = static_cast<uint8_t>(rng());
    return k;
}

}  // namespace

TEST(Rc2, Rfc2268KnownAnswersFor64EffectiveBits) {
    struct Case {
        Block key, plain, cipher;
    };
    const Case cases[] = {
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         {0x27, 0x8b, 0x27, 0xe4, 0x2e, 0x2f, 0x0d, 0x49}},
        {{0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
         {0x30, 0x64, 0x9e, 0xdf, 0x9b, 0xe7, 0xd2, 0xc2}},
    };
    for (const Case& c : cases) {
        NwCryptKey schedule;
        nwcryptinit(&schedule, c.key);
        Block out{};
        nwencrypt(&schedule, c.plain, out);
        EXPECT_EQ(c.cipher, out);
        nwdecrypt(&schedule, out, out);  // in place
        EXPECT_EQ(c.plain, out);

        // With the zero IV the first CBC block is the plain block cipher.
        Block cbc{};
        nwencryptblock(c.key, c.plain.data(), 8, cbc.data());
        EXPECT_EQ(c.cipher, cbc);
        nwdecryptblock(c.key, cbc.data(), 8, cbc.data());
        EXPECT_EQ(c.plain, cbc);
    }
}

TEST(Rc2, CbcMatchesOpenSslForRandomKeysDataAndLengths) {
    OpenSslRc2 ossl;
    ASSERT_TRUE(ossl.ready()) << "OpenSSL's legacy provider with RC2-CBC is not available";
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        const Block key = random_key(rng);
        const size_t len = rng() % 100;  // many lengths that are not whole blocks
        const Bytes plain = random_bytes(rng, len);
        const Bytes expect = ossl.run(true, key, whole_blocks(plain));
        ASSERT_EQ(len / 8 * 8, expect.size());

        // Into another buffer: whole blocks match, the tail keeps its bytes.
        Bytes out(len, 0xa5);
        nwencryptblock(key, plain.data(), static_cast<int>(len), out.data());
        EXPECT_TRUE(std::equal(expect.begin(), expect.end(), out.begin())) << "len " << len;
        EXPECT_TRUE(std::all_of(out.begin() + expect.size(), out.end(),
                                [](uint8_t b) { return b == 0xa5; }));

        // In place: the tail is the plaintext's own tail, untouched.
        Bytes inplace = plain;
        nwencryptblock(key, inplace.data(), static_cast<int>(len), inplace.data());
        EXPECT_TRUE(std::equal(expect.begin(), expect.end(), inplace.begin()));
        EXPECT_TRUE(std::equal(plain.begin() + expect.size(), plain.end(),
                               inplace.begin() + expect.size()));

        // Decrypting arbitrary bytes agrees with OpenSSL too, both ways.
        const Bytes cipher = random_bytes(rng, len);
        const Bytes expect_plain = ossl.run(false, key, whole_blocks(cipher));
        Bytes dec(len, 0x5a);
        nwdecryptblock(key, cipher.data(), static_cast<int>(len), dec.data());
        EXPECT_TRUE(std::equal(expect_plain.begin(), expect_plain.end(), dec.begin()));
        EXPECT_TRUE(std::all_of(dec.begin() + expect_plain.size(), dec.end(),
                                [](uint8_t b) { return b == 0x5a; }));
        Bytes dec_inplace = cipher;
        nwdecryptblock(key, dec_inplace.data(), static_cast<int>(len),
                       dec_inplace.data());
        EXPECT_TRUE(std::equal(expect_plain.begin(), expect_plain.end(), dec_inplace.begin()));
        EXPECT_TRUE(std::equal(cipher.begin() + expect_plain.size(), cipher.end(),
                               dec_inplace.begin() + expect_plain.size()));

        // And our own round trip restores the whole blocks.
        Bytes back(len, 0);
        nwdecryptblock(key, out.data(), static_cast<int>(len), back.data());
        EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + expect.size(), back.begin()));
    }
}

TEST(Rc2, ShortAndNegativeLengthsTouchNothing) {
    const Block key = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes in(16, 0x11);
    for (int len : {-8, -1, 0, 1, 7}) {
        Bytes out(16, 0xee);
        nwencryptblock(key, in.data(), len, out.data());
        EXPECT_EQ(Bytes(16, 0xee), out) << len;
        nwdecryptblock(key, in.data(), len, out.data());
        EXPECT_EQ(Bytes(16, 0xee), out) << len;
    }
}

TEST(Rc2, ExpandedKeyIsWipedOnEveryPath) {
    const Block key = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x23, 0x45, 0x67};
    Bytes data(24, 0x42);
    for (int len : {0, 5, 8, 24}) {
        for (bool encrypt : {true, false}) {
            NwCryptKey schedule;
            std::fill(std::begin(schedule.k), std::end(schedule.k), 0x5555);
            if (encrypt)
                nwencryptblock_using(&schedule, key, data.data(), len, data.data());
            else
                nwdecryptblock_using(&schedule, key, data.data(), len, data.data());
            EXPECT_TRUE(std::all_of(std::begin(schedule.k), std::end(schedule.k),
                                    [](uint16_t w) { return w == 0; }))
                << "len " << len << (encrypt ? " encrypt" : " decrypt");
        }
    }
}
