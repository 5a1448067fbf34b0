// The production random source: the operating system's generator.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ndsauth/ndsauth.h"

namespace {

TEST(FillRandom, FillsEveryByteAndDiffersBetweenDraws) {
    std::vector<unsigned char> a(1 << 20, 0), b(32, 0), c(32, 0);
    ASSERT_EQ(fillrandom(a.data(), a.size()), 0);
    // Over a megabyte about 1/256 of the bytes stay zero by chance; a short
    // read would leave a whole zero tail.
    const auto zeros = std::count(a.begin(), a.end(), 0);
    EXPECT_LT(zeros, static_cast<long>(a.size() / 128));
    EXPECT_FALSE(std::all_of(a.end() - 64, a.end(), [](unsigned char x) { return x == 0; }));
    ASSERT_EQ(fillrandom(b.data(), b.size()), 0);
    ASSERT_EQ(fillrandom(c.data(), c.size()), 0);
    EXPECT_NE(b, c);
    EXPECT_EQ(fillrandom(nullptr, 0), 0);
}

}  // namespace
