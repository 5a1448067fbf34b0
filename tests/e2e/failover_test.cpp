// The helper with two directory servers listed: the first is used while it
// serves, the second when it does not, and the first again at the next
// reconnect once it is back; servers that failed back off, and requests
// are answered at once while no server is due.
#include <gtest/gtest.h>

#include "directories.h"

namespace {

class Failover : public EndToEnd {
protected:
    std::string list_config(uint16_t first, uint16_t second, const std::string& extra = "") {
        return "Server 127.0.0.1:" + std::to_string(first) + ",127.0.0.1:" + std::to_string(second) + "\n" +
               "SearchUser search.acme\nSearchPass Search-Pass1\n" + extra;
    }
};

std::string connected(uint16_t port) { return "server 127.0.0.1:" + std::to_string(port) + " connected."; }
std::string unable(uint16_t port) { return "unable to connect 127.0.0.1:" + std::to_string(port) + "."; }

TEST_F(Failover, AtStartTheFirstServerThatAnswersIsUsed) {
    ServerProcess& first = serve(e2e_directory(false));
    ServerProcess& second = serve(e2e_directory(false));
    first.stop();
    start(list_config(first.port(), second.port()));
    EXPECT_EQ(helper->ask("alice.sales.acme staff.sales.acme"), "OK\n");
    finish();
    const std::vector<std::string> lines = helper->log_lines();
    EXPECT_EQ(count_lines(lines, unable(first.port())), 1u);
    EXPECT_EQ(count_lines(lines, connected(second.port())), 1u);
    EXPECT_EQ(count_lines(lines, "wrenacl started. server=127.0.0.1:" + std::to_string(first.port()) +
                                     ",127.0.0.1:" + std::to_string(second.port()) +
                                     ", SearchUser:search.acme, ConvertPercent:No."),
              1u);
}

// The first server killed: the request that finds it gone fails, and the
// reconnect goes to the second. The first restarted: used again once the
// second goes away.
TEST_F(Failover, PrimaryKilledAndRestartedIsUsedAgainAtTheNextReconnect) {
    ServerProcess& first = serve(e2e_directory(false));
    ServerProcess& second = serve(e2e_directory(false));
    HelperProcess& helper = start(list_config(first.port(), second.port()));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    first.kill_hard();
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "ERR\n");
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    EXPECT_EQ(helper.ask("bob.acme all.acme"), "ERR\n");
    EXPECT_EQ(second.sent().logins(), 1u);

    ASSERT_TRUE(first.restart());
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");  // still the second
    second.kill_hard();
    EXPECT_EQ(helper.ask_until("alice.sales.acme staff.sales.acme", "OK\n"), "OK\n");
    EXPECT_EQ(first.sent().logins(), 1u);
    finish();
    const std::vector<std::string> lines = helper.log_lines();
    EXPECT_EQ(count_lines(lines, connected(first.port())), 2u);
    EXPECT_EQ(count_lines(lines, connected(second.port())), 1u);
}

// Both servers gone: one reconnect says so; the requests behind it are
// answered at once ("BH" with FailureReply BH) without trying either server
// and without a log line each; the second back, the helper uses it.
TEST_F(Failover, BothDownThenOneBack) {
    ServerProcess& first = serve(e2e_directory(false));
    ServerProcess& second = serve(e2e_directory(false));
    HelperProcess& helper = start(list_config(first.port(), second.port(), "FailureReply BH\n"));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    first.kill_hard();
    second.kill_hard();
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "BH message=\"directory request failed\"\n");
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "BH message=\"directory unreachable\"\n") << i;
    EXPECT_EQ(helper.ask("no-blank"), "ERR Invalid string\n");
    const std::vector<std::string> during = helper.log_lines();
    EXPECT_EQ(count_lines(during, "no directory server reachable, next try in 1 s."), 1u);
    EXPECT_EQ(count_lines(during, unable(first.port())), 1u);

    ASSERT_TRUE(second.restart());
    EXPECT_EQ(helper.ask_until("alice.sales.acme staff.sales.acme", "OK\n"), "OK\n");
    EXPECT_EQ(helper.ask("alice.sales.acme staff.acme"), "ERR\n");
    finish();
    EXPECT_EQ(second.sent().connections(), 1u);
}

// The first server accepts but never answers: each try of it costs one
// time-out, its create request's, and nothing more.
using SilentServer = Failover;

TEST_F(SilentServer, PrimaryThatNeverAnswersCostsOneTimeoutPerTry) {
    ServerProcess& first = serve(e2e_directory(false), {"--hang-after", "0"});
    ServerProcess& second = serve(e2e_directory(false));
    HelperProcess& helper = start(list_config(first.port(), second.port(), "Timeout 1\nDebug Yes\n"));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    second.kill_hard();
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "ERR\n");
    finish();
    const std::vector<std::string> lines = helper.log_lines();
    EXPECT_GE(count_lines(lines, unable(first.port())), 1u);
    EXPECT_GE(count_lines(lines, "DEBUG: set-up failed: time-out in the create request"), 1u);
    EXPECT_EQ(count_lines(lines, connected(second.port())), 1u);
    const Sent sent = first.sent();  // whether it is tried again depends on its back-off
    EXPECT_EQ(sent.letters(), std::string(sent.connections(), 'c'));
    EXPECT_EQ(sent.unanswered(), sent.connections());
}

}  // namespace
