// The password hash: how password and identifier are folded into the work
// block, checked by building that block independently and mixing it with
// shuffle1, plus fixed answers computed by a separate model of the hash.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "bytes.h"
#include "nwcrypto/nwcrypto.h"

namespace {

using Digest = std::array<uint8_t, 16>;
// The published constant of the hash, positions 0..31.
constexpr uint8_t K[32] = {
    0x48, 0x93, 0x46, 0x67, 0x98, 0x3d, 0xe6, 0x8d, 0xb7, 0x10, 0x7a, 0x26, 0x5a, 0xb9, 0xb1, 0x35,
    0x6b, 0x0f, 0xd5, 0x70, 0xae, 0xfb, 0xad, 0x11, 0xf4, 0x47, 0xdc, 0xa7, 0xec, 0xcf, 0x50, 0xc0,
};

Digest hash(const std::array<uint8_t, 4>& id, const Bytes& pw) {
    Digest out{};
    shuffle(id, pw.data(), static_cast<int>(pw.size()), out);
    return out;
}

// The result of mixing a work block t that the test put together itself.
Digest mixed(std::array<uint8_t, 32> t) {
    Digest out{};
    shuffle1(t, out);
    return out;
}

std::array<uint8_t, 32> identifier_block(const std::array<uint8_t, 4>& id) {
    std::array<uint8_t, 32> t{};
    for (int j = 0; j < 32; ++j) t[j] = id[j % 4];
    return t;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 37 * i + 1) | 1;
    return b;
}

const std::array<uint8_t, 4> kId = {0x01, 0x02, 0x03, 0x04};

}  // namespace

TEST(Shuffle, FixedAnswers) {
    const Bytes secret = {'S', 'E', 'C', 'R', 'E', 'T'};
    EXPECT_EQ((Digest{0xa1, 0xfc, 0x06, 0x40, 0x5e, 0x63, 0xea, 0xb1, 0xc1, 0x15, 0xb3, 0x07,
                      0xe6, 0x1b, 0x35, 0xee}),
              hash(kId, secret));
    EXPECT_EQ((Digest{0x3d, 0x78, 0x35, 0x68, 0x4f, 0xb3, 0x90, 0xbd, 0x1d, 0x9b, 0x4b, 0xc9,
                      0xcf, 0x40, 0xdc, 0x59}),
              hash({0x00, 0x01, 0x02, 0x9f}, {}));
    const std::string longer = "CORRECT HORSE BATTERY STAPLE AND MORE TEXT";
    EXPECT_EQ((Digest{0x7a, 0xe1, 0x4d, 0x35, 0x34, 0xd2, 0xfa, 0x6d, 0xca, 0x1c, 0x3b, 0x86,
                      0xc0, 0x67, 0x78, 0xa0}),
              hash({0xde, 0xad, 0xbe, 0xef}, Bytes(longer.begin(), longer.end())));
}

TEST(Shuffle, EmptyAndZeroPasswordsLeaveOnlyTheIdentifier) {
    const Digest expect = mixed(identifier_block(kId));
    EXPECT_EQ(expect, hash(kId, {}));
    EXPECT_EQ(expect, hash(kId, Bytes(5, 0)));
    EXPECT_EQ(expect, hash(kId, Bytes(40, 0)));
    Digest out{};
    const uint8_t pw[1] = {'X'};
    shuffle(kId, pw, -3, out);  // a negative length is an empty password
    EXPECT_EQ(expect, out);
}

TEST(Shuffle, TrailingZeroBytesAreNotPartOfThePassword) {
    for (size_t n : {1u, 3u, 31u, 32u, 33u, 70u}) {
        const Bytes pw = pattern(n, 7);
        Bytes padded = pw;
        padded.insert(padded.end(), 9, 0);
        EXPECT_EQ(hash(kId, pw), hash(kId, padded)) << n;
    }
    // Interior zeros do count.
    EXPECT_NE(hash(kId, {'A', 0, 'B'}), hash(kId, {'A', 'B'}));
}

TEST(Shuffle, ShortRemainderRepeatsWithConstantFillers) {
    // ABC ABC ... with K[3], K[7], ... at every fourth position.
    const Bytes abc = {'A', 'B', 'C'};
    std::array<uint8_t, 32> t = identifier_block(kId);
    for (int j = 0; j < 32; ++j) t[j] ^= (j % 4 == 3) ? K[j] : abc[j % 4];
    EXPECT_EQ(mixed(t), hash(kId, abc));

    // A single byte alternates with the odd constant bytes.
    std::array<uint8_t, 32> one = identifier_block(kId);
    for (int j = 0; j < 32; ++j) one[j] ^= (j % 2) ? K[j] : 'Z';
    EXPECT_EQ(mixed(one), hash(kId, {'Z'}));
}

TEST(Shuffle, WholeRunsFoldByXorAndTheRemainderFollows) {
    const Bytes pw32 = pattern(32, 1);
    std::array<uint8_t, 32> t = identifier_block(kId);
    for (int j = 0; j < 32; ++j) t[j] ^= pw32[j];
    EXPECT_EQ(mixed(t), hash(kId, pw32));  // no constant byte

    const Bytes pw64 = pattern(64, 2);
    std::array<uint8_t, 32> t64 = identifier_block(kId);
    for (int j = 0; j < 32; ++j) t64[j] ^= pw64[j] ^ pw64[32 + j];
    EXPECT_EQ(mixed(t64), hash(kId, pw64));

    // 33 bytes: the last byte on even positions, K[odd] on odd positions.
    const Bytes pw33 = pattern(33, 3);
    std::array<uint8_t, 32> t33 = identifier_block(kId);
    for (int j = 0; j < 32; ++j) t33[j] ^= pw33[j] ^ ((j % 2) ? K[j] : pw33[32]);
    EXPECT_EQ(mixed(t33), hash(kId, pw33));

    // 100 bytes: three whole runs, then a 4-byte remainder and K[4], K[9], ...
    const Bytes pw100 = pattern(100, 4);
    std::array<uint8_t, 32> t100 = identifier_block(kId);
    for (int j = 0; j < 32; ++j) {
        t100[j] ^= pw100[j] ^ pw100[32 + j] ^ pw100[64 + j];
        t100[j] ^= (j % 5 == 4) ? K[j] : pw100[96 + j % 5];
    }
    EXPECT_EQ(mixed(t100), hash(kId, pw100));
}

TEST(Shuffle, EveryIdentifierByteAndItsPositionCounts) {
    const Bytes pw = {'P', 'A', 'S', 'S'};
    const Digest base = hash(kId, pw);
    for (int i = 0; i < 4; ++i) {
        std::array<uint8_t, 4> changed = kId;
        changed[i] ^= 0x80;
        EXPECT_NE(base, hash(changed, pw)) << i;
    }
    EXPECT_NE(base, hash({0x04, 0x03, 0x02, 0x01}, pw));
    EXPECT_NE(base, hash({0x02, 0x01, 0x03, 0x04}, pw));
}

TEST(Shuffle, PasswordIsOnlyRead) {
    const Bytes pw = pattern(45, 9);
    Bytes copy = pw;
    Digest out{};
    shuffle(kId, copy.data(), static_cast<int>(copy.size()), out);
    EXPECT_EQ(pw, copy);
}
