// Known answers of the two NDS hashes.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "nwcrypto/nwcrypto.h"

namespace {

const uint8_t kAbc[] = {'a', 'b', 'c'};

std::array<uint8_t, 16> digest(const std::vector<std::vector<uint8_t>>& pieces) {
    uint8_t state[NWHASH2_STATE_SIZE] = {};
    for (const auto& p : pieces) nwhash2block(state, p.data(), static_cast<int>(p.size()));
    nwhash2end(state);
    std::array<uint8_t, 16> out;
    std::copy(state, state + 16, out.begin());
    return out;
}

}  // namespace

TEST(NwHash1, KnownAnswersAndContinuation) {
    uint8_t h8[8] = {};
    nwhash1(h8, 8, kAbc, 3);
    EXPECT_EQ((std::array<uint8_t, 8>{0, 0, 0, 0, 0, 0xdc, 0xdf, 0xde}),
              std::to_array(h8));

    uint8_t h5[5] = {};
    nwhash1(h5, 5, kAbc, 3);
    EXPECT_EQ((std::array<uint8_t, 5>{0, 0, 0xdc, 0xdf, 0xde}), std::to_array(h5));

    uint8_t split[8] = {};
    nwhash1(split, 8, kAbc, 2);
    nwhash1(split, 8, kAbc + 2, 1);
    EXPECT_EQ(std::to_array(h8), std::to_array(split));

    uint8_t unchanged[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    nwhash1(unchanged, 8, kAbc, 0);
    EXPECT_EQ((std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}), std::to_array(unchanged));
}

TEST(NwHash1, WholeMultipleOfStateNeedsNoRotation) {
    // 16 bytes into 8: no rotation, so hashing 8 + 8 equals hashing 16 at once.
    std::vector<uint8_t> data(16);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 1);
    uint8_t once[8] = {}, twice[8] = {};
    nwhash1(once, 8, data.data(), 16);
    nwhash1(twice, 8, data.data(), 8);
    nwhash1(twice, 8, data.data() + 8, 8);
    EXPECT_EQ(std::to_array(once), std::to_array(twice));
}

TEST(NwHash2, KnownDigests) {
    EXPECT_EQ((std::array<uint8_t, 16>{0x7a, 0xe2, 0xa2, 0x1d, 0x87, 0x93, 0x65, 0x00, 0x44, 0xae,
                                       0x40, 0x27, 0x7e, 0xaf, 0xaa, 0x2e}),
              digest({}));
    EXPECT_EQ((std::array<uint8_t, 16>{0x74, 0x59, 0x4a, 0x0a, 0x73, 0xb0, 0x35, 0x03, 0xef, 0xe6,
                                       0x2e, 0x57, 0x4d, 0xba, 0xf8, 0x16}),
              digest({{'a', 'b', 'c'}}));
}

TEST(NwHash2, PiecesOfAnySizeGiveTheSameDigest) {
    std::vector<uint8_t> msg(100);
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(i * 7 + 3);
    const auto whole = digest({msg});
    for (size_t cut : {1u, 15u, 16u, 17u, 50u, 99u}) {
        std::vector<uint8_t> a(msg.begin(), msg.begin() + cut), b(msg.begin() + cut, msg.end());
        EXPECT_EQ(whole, digest({a, b})) << "cut at " << cut;
    }
}
