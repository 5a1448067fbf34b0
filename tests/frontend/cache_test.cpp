// What is kept (CacheSeconds): answers without an exchange, for no longer
// than the setting, never from a list read only in part, and nothing after a
// reconnect; the memory stays within its bound whatever is kept.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "frontend/cache.h"
#include "frontend/config.h"
#include "frontend/connection.h"
#include "tests/frontend/front_end.h"

namespace {

class Kept : public FrontEnd {
protected:
    void SetUp() override {
        FrontEnd::SetUp();
        serve();
        config_pingafter = PING_AFTER_FAILURE;
        cache_setup(60);
        ASSERT_EQ(make_connection(), 0);
    }
    void TearDown() override {
        cache_setup(0);
        FrontEnd::TearDown();
    }
};

TEST_F(Kept, AnswersWithoutAnExchangeForNoLongerThanTheSetting) {
    config_debug = 1;
    expect_answers({{"alice staff\nalice admins\nnobody staff\nnobody staff", "OK\nERR\nERR\nERR\n", "rgr"}});
    EXPECT_EQ(log_lines().back(), "nobody NOT in group staff (from the cache)");
    // A read stopped at its first batch answers a later group only from what
    // it read: the rest is read afresh (without a resolve).
    expect_answers({{"alice.sales.acme admins.acme\nalice.sales.acme never.acme\nalice.sales.acme never.acme",
                     "OK\nOK\nOK\n", "rg" "ggg"}},
                   [](ts::Options& o) { o.read_batch = 1; });
    // A group's members are kept the same way.
    config_membership = MEMBERSHIP_GROUP;
    expect_answers({{"bob staff\nbob staff", "ERR\nERR\n", "rrg"}}, [](ts::Options& o) { o.read_batch = 0; });
    config_membership = MEMBERSHIP_USER;
    // A change of the directory shows once what was kept expires; a
    // reconnect forgets it at once.
    cache_setup(1);
    expect_answers({{"alice staff", "OK\n", "rg"}});
    expect_answers({{"alice staff", "OK\n", ""}}, [](ts::Options& o) { o.raw_groups = std::vector<Bytes>{}; });
    usleep(1100 * 1000);
    expect_answers({{"alice staff", "ERR\n", "rg"}});
    clear_connection();
    NCPCONN_disconnect(&conn);
    expect_answers({{"alice staff", "OK\n", "cpvrgrg"}}, [](ts::Options& o) { o.raw_groups.reset(); });
}

long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// 10,000 users with 4 KB of groups each: the oldest go, the newest stay,
// and the memory taken stays that of the arena.
TEST(Cache, MemoryStaysWithinItsBound) {
    cache_setup(3600);
    const long before = resident_kb();
    Bytes list;
    put32(list, 50);
    for (int g = 0; g < 50; ++g) {
        Bytes value(80, static_cast<uint8_t>('a' + g % 26));
        put32(list, static_cast<uint32_t>(value.size()));
        put_bytes(list, value);
    }
    const auto key = [](int u) {
        const std::string s = "user" + std::to_string(u);
        return std::vector<uint16_t>(s.begin(), s.end());
    };
    for (int u = 0; u < 10000; ++u) {
        const uint32_t kept = cache_put_entry(CACHE_USER, key(u), CACHE_FOUND, 7, key(u), 0);
        cache_put_batch(kept, list, true);
        ASSERT_LE(cache_bytes_used(), CACHE_BYTES);
    }
#if !defined(__SANITIZE_ADDRESS__)
    // The arena, and room for the rest of what the test touches. (Under the
    // address sanitizer freed blocks stay in quarantine: resident memory
    // says nothing there.)
    EXPECT_LE(resident_kb() - before, static_cast<long>(CACHE_BYTES / 1024 + 1024));
#else
    (void)before;
#endif
    CacheHit hit{};
    EXPECT_FALSE(cache_find(CACHE_USER, key(0), 1, &hit));
    ASSERT_TRUE(cache_find(CACHE_USER, key(9999), 1, &hit));
    std::span<const uint8_t> batch;
    ASSERT_TRUE(cache_next_batch(&hit, &batch));
    EXPECT_TRUE(std::equal(batch.begin(), batch.end(), list.begin(), list.end()));
    EXPECT_FALSE(cache_next_batch(&hit, &batch));
    EXPECT_TRUE(hit.complete);
    cache_setup(0);
    EXPECT_EQ(cache_bytes_used(), 0u);
}

}  // namespace
