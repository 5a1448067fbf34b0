// The helper with a search user against the test directory server: login,
// authentication and state change with user keys of every supported size,
// group checks on the logged-in connection, a wrong password, and a user
// that does not resolve.
#include <gtest/gtest.h>

#include "directories.h"

namespace {

struct Keys {
    int bits;
    bool q_above_p;
};

class Login : public EndToEnd, public ::testing::WithParamInterface<Keys> {};

// The directory lets only logged-in connections read groups, so every OK
// below proves the connection acts as the search user.
TEST_P(Login, AuthenticatedConnectionReadsGroupsAnonymousOnesMayNot) {
    std::vector<std::string> options = {"--user-key-bits", std::to_string(GetParam().bits)};
    if (GetParam().q_above_p) options.push_back("--q-above-p");
    ServerProcess& server = serve(e2e_directory(false), options);
    start(search_user_config(server.port()));
    expect_replies({
        {"alice.sales.acme staff.sales.acme", "OK\n"},
        {"j\xFCrgen.ops.acme \xDC" "berwachung.ops.acme", "OK\n"},
        {"alice.sales.acme staff.acme", "ERR\n"},
        {"bob.acme all.acme", "ERR\n"},
        {"dave.acme sales team.sales.acme", "OK\n"},
    });
    finish();
    EXPECT_EQ(server.sent().connections(), 1u);
    EXPECT_EQ(server.sent().logins(), 1u);
    EXPECT_TRUE(server.lines("NO-ACCESS").empty());
    EXPECT_EQ(count_lines(helper->log_lines(), "connection to server closed."), 1u);  // at the stop
}

INSTANTIATE_TEST_SUITE_P(UserKeys, Login,
                         ::testing::Values(Keys{512, false}, Keys{512, true}, Keys{1024, false},
                                           Keys{1024, true}, Keys{1264, false}, Keys{1264, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.bits) +
                                    (info.param.q_above_p ? "_QAboveP" : "_PAboveQ");
                         });

using LoginFailure = EndToEnd;

// Tried once, logged without the password, and no request read.
TEST_F(LoginFailure, WrongPasswordIsLoggedAndTheHelperExitsCleanly) {
    ServerProcess& server = serve(e2e_directory(false));
    HelperProcess& h = start(search_user_config(server.port(), "not-the-password"));
    h.send("alice.sales.acme staff.sales.acme");
    finish();
    const std::string port = std::to_string(server.port());
    const std::vector<std::string> lines = h.log_lines();
    EXPECT_EQ(count_lines(lines, "login failed on 127.0.0.1:" + port + "."), 1u);
    EXPECT_EQ(count_lines(lines, "connection to server failed. server=127.0.0.1:" + port +
                                     ", SearchUser:search.acme, ConvertPercent:No."),
              1u);
    EXPECT_EQ(server.sent().count(ts::RequestKind::Verb, 58), 1u);
    for (const std::string password : {"not-the-password", "NOT-THE-PASSWORD"}) {
        EXPECT_EQ(h.log().find(password), std::string::npos) << h.log();
        EXPECT_EQ(h.standard_error().find(password), std::string::npos);
    }
}

using LoginReconnect = EndToEnd;

// An unknown user is an answer: the connection and its login are kept, and
// so they are for a name too long to be asked for (it is not asked). A
// resolve that fails otherwise drops the connection, and the next answer
// comes over a new login, after the old connection was closed.
TEST_F(LoginReconnect, UnknownUserKeepsTheLoginOtherResolveFailuresDropIt) {
    ServerProcess& server =
        serve(e2e_directory(false), {"--fragment-size", "64", "--fail-resolve", "broken.acme:-626"});
    start(search_user_config(server.port()));
    expect_replies({
        {"alice.sales.acme all.acme", "OK\n"},
        {"ghost.acme all.acme", "ERR\n"},
        {std::string(134, 'x') + " all.acme", "ERR\n"},
        {"alice.sales.acme staff.sales.acme", "OK\n"},
        {"broken.acme all.acme", "ERR\n"},
        {"alice.sales.acme staff.sales.acme", "OK\n"},
    });
    finish();
    EXPECT_EQ(server.sent().connections(), 2u);
    EXPECT_EQ(server.sent().logins(), 2u);
    const std::string log = server.log();
    EXPECT_LT(log.find("CLOSED"), log.rfind("LOGGED-IN")) << log;
}

}  // namespace
