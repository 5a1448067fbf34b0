// The helper with a search user against the test directory server: login,
// authentication and state change with user keys of every supported size,
// group checks on the logged-in connection, a wrong password, a user that
// does not resolve, and a server restarted under the helper.
#include <gtest/gtest.h>

#include <memory>

#include "directories.h"

namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

void expect_password_not_logged(const HelperProcess& helper, const std::string& password) {
    EXPECT_EQ(helper.log().find(password), std::string::npos) << helper.log();
    EXPECT_EQ(helper.standard_error().find(password), std::string::npos);
}

struct Keys {
    int bits;
    bool q_above_p;
};

class Login : public ::testing::TestWithParam<Keys> {};

// The directory lets only logged-in connections read groups, so every OK
// below proves the connection acts as the search user.
TEST_P(Login, AuthenticatedConnectionReadsGroupsAnonymousOnesMayNot) {
    std::vector<std::string> options = {"--user-key-bits", std::to_string(GetParam().bits)};
    if (GetParam().q_above_p) options.push_back("--q-above-p");
    ServerProcess server(e2e_directory(false), options);
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(search_user_config(server.port()));
    expect_replies(helper, Cases{
        {"alice.sales.acme staff.sales.acme", "OK\n"},
        {"j\xFCrgen.ops.acme \xDC" "berwachung.ops.acme", "OK\n"},
        {"alice.sales.acme staff.acme", "ERR\n"},
        {"bob.acme all.acme", "ERR\n"},
        {"dave.acme sales team.sales.acme", "OK\n"},
    });
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    EXPECT_EQ(helper.log_lines(), (std::vector<std::string>{
                                      "server 127.0.0.1 connected.",
                                      started_line(server.port(), "search.acme"),
                                      "connection to server closed.",
                                      "wrenacl stopped.",
                                  }));
    EXPECT_EQ(server.lines("LOGIN ").size(), 1u);
    EXPECT_EQ(server.lines("AUTHENTICATED ").size(), 1u);
    EXPECT_EQ(server.lines("LOGGED-IN ").size(), 1u);
    EXPECT_TRUE(server.lines("NO-ACCESS").empty());
    expect_no_deviation(server);
    expect_password_not_logged(helper, "Search-Pass1");
}

INSTANTIATE_TEST_SUITE_P(UserKeys, Login,
                         ::testing::Values(Keys{512, false}, Keys{512, true}, Keys{1024, false},
                                           Keys{1024, true}, Keys{1264, false}, Keys{1264, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.bits) +
                                    (info.param.q_above_p ? "_QAboveP" : "_PAboveQ");
                         });

TEST(LoginFailure, WrongPasswordIsLoggedAndTheHelperExitsCleanly) {
    ServerProcess server(e2e_directory(false));
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(search_user_config(server.port(), "not-the-password"));
    helper.send("alice.sales.acme staff.sales.acme");
    helper.close_input();
    EXPECT_EQ(helper.rest_of_output(), "");  // no request is read, no reply written
    EXPECT_EQ(helper.wait(), 0);
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(helper.log_lines(),
              (std::vector<std::string>{
                  "login failed on 127.0.0.1:" + port + ".",
                  "connection to server failed. server=127.0.0.1:" + port +
                      ", SearchUser:search.acme, ConvertPercent:No.",
                  "wrenacl stopped.",
              }));
    EXPECT_EQ(server.lines("LOGIN-FAILED").size(), 1u);
    expect_no_deviation(server);
    expect_password_not_logged(helper, "not-the-password");
}

// An unknown user is an answer: the connection and its login are kept, and
// so they are for a name too long to be asked for (it is not asked). A
// resolve that fails otherwise drops the connection, and the next answer
// comes over a new login.
TEST(LoginReconnect, UnknownUserKeepsTheLoginOtherResolveFailuresDropIt) {
    ServerProcess server(e2e_directory(false), {"--fragment-size", "64", "--fail-resolve", "broken.acme:-626"});
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(search_user_config(server.port()));
    expect_replies(helper, Cases{
        {"alice.sales.acme all.acme", "OK\n"},
        {"ghost.acme all.acme", "ERR\n"},
        {std::string(134, 'x') + " all.acme", "ERR\n"},
        {"alice.sales.acme staff.sales.acme", "OK\n"},
        {"broken.acme all.acme", "ERR\n"},
        {"alice.sales.acme staff.sales.acme", "OK\n"},
    });
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    EXPECT_EQ(helper.log_lines(), (std::vector<std::string>{
                                      "server 127.0.0.1 connected.",
                                      started_line(server.port(), "search.acme"),
                                      "connection to server closed.",
                                      "nds ping failed. reconnecting.",
                                      "server 127.0.0.1 connected.",
                                      "connection to server closed.",
                                      "wrenacl stopped.",
                                  }));
    // The first connection is closed by the helper before the second login.
    const std::vector<std::string> log = [&] {
        std::vector<std::string> v;
        for (const std::string& l : server.lines(""))
            if (l.rfind("LOGGED-IN", 0) == 0 || l.rfind("CLOSED", 0) == 0) v.push_back(l.substr(0, l.find(' ')));
        return v;
    }();
    EXPECT_EQ(log, (std::vector<std::string>{"LOGGED-IN", "CLOSED", "LOGGED-IN", "CLOSED"}));
    EXPECT_EQ(server.lines("UNKNOWN").size(), 1u);
    expect_no_deviation(server);
}

// The server killed under a logged-in helper: the request that finds it gone
// fails, the reconnect finds nobody and says when it tries again; once the
// server is back and the back-off over, the next request logs in anew and
// is answered.
TEST(LoginReconnect, ServerRestartedMidStreamMeansAFullLoginAgain) {
    auto server = std::make_unique<ServerProcess>(e2e_directory(false));
    const uint16_t port = server->port();
    ASSERT_NE(port, 0);
    HelperProcess helper(search_user_config(port));
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "OK\n");
    expect_no_deviation(*server);
    server->kill_hard();
    EXPECT_EQ(helper.ask("alice.sales.acme staff.sales.acme"), "ERR\n");
    server = std::make_unique<ServerProcess>(e2e_directory(false), std::vector<std::string>{}, port);
    ASSERT_EQ(server->port(), port);
    EXPECT_EQ(helper.ask_until("alice.sales.acme staff.sales.acme", "OK\n"), "OK\n");
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    const std::string p = std::to_string(port);
    EXPECT_EQ(helper.log_lines(), (std::vector<std::string>{
                                      "server 127.0.0.1 connected.",
                                      started_line(port, "search.acme"),
                                      "connection to server closed.",
                                      "nds ping failed. reconnecting.",
                                      "unable to connect 127.0.0.1:" + p + ".",
                                      "no directory server reachable, next try in 2 s.",
                                      "server 127.0.0.1 connected.",
                                      "connection to server closed.",
                                      "wrenacl stopped.",
                                  }));
    EXPECT_EQ(server->lines("LOGGED-IN ").size(), 1u);
    expect_no_deviation(*server);
    expect_password_not_logged(helper, "Search-Pass1");
}

}  // namespace
