// The helper while the server goes away, comes back or keeps dropping
// connections: every request is still answered, in order, and the helper
// does not leak descriptors over its reconnects. (Waits on a server that
// stops answering: the front end's tests.)
#include <gtest/gtest.h>

#include "directories.h"

namespace {

using LostServer = EndToEnd;

TEST_F(LostServer, EveryRequestIsAnsweredInOrderAndTheHelperRecoversOnTheSamePort) {
    ServerProcess& server = serve(e2e_directory(true));
    HelperProcess& helper = start(helper_config(server.port()));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    server.kill_hard();

    // Written all at once, as a busy proxy would.
    const std::vector<std::string> requests = {"alice.sales.acme staff.sales.acme", "broken",
                                               "alice.sales.acme all.acme", "bob.acme all.acme", ""};
    for (const std::string& r : requests) ASSERT_TRUE(helper.send(r));
    std::vector<std::string> replies;
    for (size_t i = 0; i < requests.size(); ++i) replies.push_back(helper.reply().value_or("(none)"));
    EXPECT_EQ(replies, (std::vector<std::string>{"ERR\n", "ERR Invalid string\n", "ERR\n", "ERR\n",
                                                 "ERR Invalid string\n"}));

    ASSERT_TRUE(server.restart());
    // Requests are answered at once while the server backs off; the first
    // after the back-off reconnects and is answered by the new server.
    EXPECT_EQ(helper.ask_until("alice.sales.acme staff.sales.acme", "OK\n"), "OK\n");
    EXPECT_EQ(helper.ask("bob.acme all.acme"), "ERR\n");
    EXPECT_EQ(helper.ask("dave.acme sales team.sales.acme"), "OK\n");
    finish();

    const std::vector<std::string> lines = helper.log_lines();
    const std::string unable = "unable to connect 127.0.0.1:" + std::to_string(server.port()) + ".";
    // The request that found the server gone reconnects once; those behind
    // it are answered without trying (and without a line) while it backs off.
    EXPECT_EQ(count_lines(lines, "nds ping failed. reconnecting."), 1u);
    EXPECT_EQ(count_lines(lines, unable), 1u);
    // The broken connection and the failed last try: 2 s.
    EXPECT_EQ(count_lines(lines, "no directory server reachable, next try in 2 s."), 1u);
    EXPECT_EQ(server.sent().connections(), 1u);
    EXPECT_EQ(lines.back(), "wrenacl stopped.");
}

// Every connection is closed by the server at the second check after its
// set-up, so every other request costs one reconnect (a connection that
// completed a check is tried again at once).
class Reconnects : public EndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(Reconnects, DescriptorCountStaysFlatOverAHundred) {
    const bool login = GetParam();
    // Set-up takes 5 requests, a login, authentication and state change 7
    // more, a check 2.
    ServerProcess& server = serve(e2e_directory(true), {"--drop-after", login ? "14" : "7"});
    HelperProcess& helper = start(login ? search_user_config(server.port()) : helper_config(server.port()));
    const auto ask = [&](int i) {
        ASSERT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), i % 2 == 0 ? "OK\n" : "ERR\n") << i;
    };
    for (int i = 0; i < 4; ++i) ask(i);
    const int before = helper.open_descriptors();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 200; ++i) ask(i);
    EXPECT_EQ(helper.open_descriptors(), before);
    finish();
    EXPECT_EQ(count_lines(helper.log_lines(), "nds ping failed. reconnecting."), 102u);
    EXPECT_EQ(server.sent().connections(), 103u);
    EXPECT_EQ(server.sent().unanswered(), 102u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Reconnects, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "LoggedIn" : "Anonymous"; });

}  // namespace
