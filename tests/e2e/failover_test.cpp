// The helper with two directory servers listed: the first is used while it
// serves, the second when it does not, and the first again at the next
// reconnect once it is back; servers that failed back off, and requests
// are answered at once while no server is due.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "directories.h"

namespace {

// A loopback port nobody listens on.
uint16_t closed_port() {
    ServerProcess gone(e2e_directory(true));
    const uint16_t port = gone.port();
    gone.stop();
    return port;
}

std::string list_config(uint16_t first, uint16_t second, const std::string& extra = "") {
    return "Server 127.0.0.1:" + std::to_string(first) + ",127.0.0.1:" + std::to_string(second) + "\n" +
           "SearchUser search.acme\nSearchPass Search-Pass1\n" + extra;
}

std::string connected(uint16_t port) { return "server 127.0.0.1:" + std::to_string(port) + " connected."; }

TEST(Failover, AtStartTheFirstServerThatAnswersIsUsed) {
    const uint16_t down = closed_port();
    ServerProcess second(e2e_directory(false));
    ASSERT_NE(second.port(), 0);
    HelperProcess helper(list_config(down, second.port()));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    const std::string list = "127.0.0.1:" + std::to_string(down) + ",127.0.0.1:" + std::to_string(second.port());
    EXPECT_EQ(helper.log_lines(), (std::vector<std::string>{
                                      "unable to connect 127.0.0.1:" + std::to_string(down) + ".",
                                      connected(second.port()),
                                      "wrenacl started. server=" + list + ", SearchUser:search.acme, "
                                      "ConvertPercent:No.",
                                      "connection to server closed.",
                                      "wrenacl stopped.",
                                  }));
    expect_no_deviation(second);
}

// The first server killed: the request that finds it gone fails, and the
// reconnect goes to the second. The first restarted: used again once the
// second goes away.
TEST(Failover, PrimaryKilledAndRestartedIsUsedAgainAtTheNextReconnect) {
    auto first = std::make_unique<ServerProcess>(e2e_directory(false));
    auto second = std::make_unique<ServerProcess>(e2e_directory(false));
    const uint16_t p1 = first->port(), p2 = second->port();
    ASSERT_NE(p1, 0);
    ASSERT_NE(p2, 0);
    HelperProcess helper(list_config(p1, p2));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    first->kill_hard();
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "ERR\n");
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    EXPECT_EQ(helper.ask("bob.acme all.acme"), "ERR\n");
    EXPECT_EQ(second->lines("LOGGED-IN").size(), 1u);

    first = std::make_unique<ServerProcess>(e2e_directory(false), std::vector<std::string>{}, p1);
    ASSERT_EQ(first->port(), p1);
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");  // still the second
    second->kill_hard();
    EXPECT_EQ(helper.ask_until("alice.sales.acme staff.sales.acme", "OK\n"), "OK\n");
    EXPECT_EQ(first->lines("LOGGED-IN").size(), 1u);
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    const std::vector<std::string> lines = helper.log_lines();
    EXPECT_EQ(count_lines(lines, connected(p1)), 2u);
    EXPECT_EQ(count_lines(lines, connected(p2)), 1u);
    expect_no_deviation(*first);
}

// Both servers gone: one reconnect says so; the requests behind it are
// answered at once ("BH" with FailureReply BH) without trying either server
// and without a log line each; the second back, the helper uses it.
TEST(Failover, BothDownThenOneBack) {
    auto first = std::make_unique<ServerProcess>(e2e_directory(false));
    auto second = std::make_unique<ServerProcess>(e2e_directory(false));
    const uint16_t p1 = first->port(), p2 = second->port();
    ASSERT_NE(p1, 0);
    ASSERT_NE(p2, 0);
    HelperProcess helper(list_config(p1, p2, "FailureReply BH\n"));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    first->kill_hard();
    second->kill_hard();
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "BH message=\"directory request failed\"\n");
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "BH message=\"directory unreachable\"\n") << i;
    EXPECT_EQ(helper.ask("no-blank"), "ERR Invalid string\n");
    const std::vector<std::string> during = helper.log_lines();
    EXPECT_EQ(count_lines(during, "no directory server reachable, next try in 1 s."), 1u);
    EXPECT_EQ(count_lines(during, "unable to connect 127.0.0.1:" + std::to_string(p1) + "."), 1u);

    second = std::make_unique<ServerProcess>(e2e_directory(false), std::vector<std::string>{}, p2);
    ASSERT_EQ(second->port(), p2);
    EXPECT_EQ(helper.ask_until("alice.sales.acme staff.sales.acme", "OK\n"), "OK\n");
    EXPECT_EQ(helper.ask("alice.sales.acme staff.acme"), "ERR\n");
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    EXPECT_EQ(count_lines(helper.log_lines(), connected(p2)), 1u);
    expect_no_deviation(*second);
}

// The first server accepts but never answers. At start it costs one
// Timeout; when the second goes away, the request that finds it gone is
// answered within 2 x Timeout + 1 s, plus one Timeout for the further server.
TEST(SilentServer, PrimaryThatNeverAnswersCostsOneTimeoutPerTry) {
    constexpr int kTimeoutS = 1;
    ServerProcess first(e2e_directory(false), {"--hang-after", "0"});
    auto second = std::make_unique<ServerProcess>(e2e_directory(false));
    ASSERT_NE(first.port(), 0);
    ASSERT_NE(second->port(), 0);
    HelperProcess helper(list_config(first.port(), second->port(), "Timeout 1\nDebug Yes\n"));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    second->kill_hard();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "ERR\n");
    EXPECT_LE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds((3 * kTimeoutS + 1) * 1000 + 500));
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    const std::vector<std::string> lines = helper.log_lines();
    const std::string unable = "unable to connect 127.0.0.1:" + std::to_string(first.port()) + ".";
    EXPECT_GE(count_lines(lines, unable), 1u);
    EXPECT_GE(count_lines(lines, "DEBUG: set-up failed: time-out in the create request"), 1u);
    EXPECT_EQ(count_lines(lines, connected(second->port())), 1u);
}

}  // namespace
