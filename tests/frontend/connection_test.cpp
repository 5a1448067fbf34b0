// The connection manager with the real client and login against the test
// directory server in this process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "runtime/fd.h"
#include "tests/frontend/front_end.h"

namespace {

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) ++n;
    if (d != nullptr) closedir(d);
    return n;
}

class ConnectionManager : public FrontEnd {
protected:
    // A loopback port that refuses connections: bound, but not listening.
    int closed_port() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bound_.reset(socket(AF_INET, SOCK_STREAM, 0));
        if (bind(bound_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(bound_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            ADD_FAILURE() << "no port";
        return ntohs(a.sin_port);
    }
    rt::UniqueFd bound_;
};

TEST_F(ConnectionManager, AnonymousConnectionLeavesTheFlagClear) {
    serve();
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(flag_connected, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"server 127.0.0.1 connected."});
    // The configured time-out is on the socket.
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(conn.sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 20);
    // An anonymous connection is neither closed nor logged by clear_connection.
    EXPECT_EQ(clear_connection(), 1);
    EXPECT_EQ(log_lines().size(), 1u);
}

TEST_F(ConnectionManager, FullLoginSequenceSetsTheFlag) {
    serve();
    login_as("admin.acme", "secret");
    config_timeout = 5;
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(flag_connected, 1);
    EXPECT_EQ(server->lines("LOGGED-IN").size(), 1u);
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(conn.sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 5);
    // While it is held, make_connection does nothing and logs nothing.
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(server->lines("LOGIN ").size(), 1u);
    EXPECT_EQ(clear_connection(), 0);
    EXPECT_EQ(conn.sock, -1);
    EXPECT_EQ(clear_connection(), 1);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"server 127.0.0.1 connected.", "connection to server closed."}));
    EXPECT_EQ(read_file(dir.file("helper.log")).find("secret"), std::string::npos);
}

TEST_F(ConnectionManager, EachFailingStepLogsItsOwnLine) {
    struct Case {
        const char* password;
        DirectoryServer::Setup setup;
        const char* line;
    };
    const Case cases[] = {
        {"wrong", {}, "login failed on 127.0.0.1:%u."},
        {"secret", [](ts::Options& o) { o.fail_verb[60] = 0xFFFFFD63; }, "auth failed"},
        {"secret", [](ts::Options& o) { o.refuse_state_change = true; }, "connection change state failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        serve(c.setup);
        NCPCONN_init(&conn);
        std::remove(dir.file("helper.log").c_str());
        login_as("admin.acme", c.password);
        EXPECT_EQ(make_connection(), 1);
        EXPECT_EQ(flag_connected, 0);
        char line[64];
        std::snprintf(line, sizeof line, c.line, config_port);
        EXPECT_EQ(log_lines(), std::vector<std::string>{line});
        NCPCONN_disconnect(&conn);
    }
    config_port = closed_port();
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(log_lines().back(), "unable to connect 127.0.0.1:" + std::to_string(config_port) + ".");
}

// A login that fails leaves its socket open; the next attempt closes it
// before it connects again, logged in or not.
TEST_F(ConnectionManager, SocketLeftOpenIsClosedBeforeTheNextConnect) {
    serve();
    login_as("admin.acme", "wrong");
    EXPECT_EQ(make_connection(), 1);
    EXPECT_GE(conn.sock, 0);
    const int held = open_descriptors();
    login_as("admin.acme", "secret");
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(open_descriptors(), held);
    EXPECT_EQ(server->wait_for_lines("CLOSED", 1).size(), 1u);

    clear_connection();
    login_as("", "");
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(open_descriptors(), held);
}

TEST_F(ConnectionManager, PortIsCutTo16BitsForTheSocketButLoggedWhole) {
    serve();
    config_port += 65536;
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(log_lines().back(), "server 127.0.0.1 connected.");
    config_port = closed_port() + 65536;
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(log_lines().back(), "unable to connect 127.0.0.1:" + std::to_string(config_port) + ".");
}

TEST_F(ConnectionManager, ServerThatGivesNoAddressIsNotContacted) {
    const char* servers[] = {"", "255.255.255.255", "host.invalid"};
    for (const char* s : servers) {
        std::snprintf(config_server, sizeof config_server, "%s", s);
        EXPECT_EQ(make_connection(), 1) << s;
    }
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"unable to resolve .", "unable to resolve 255.255.255.255.",
                                                     "unable to resolve host.invalid."}));
}

TEST_F(ConnectionManager, HostNamesAreLookedUp) {
    serve();
    std::snprintf(config_server, sizeof config_server, "localhost");
    EXPECT_EQ(make_connection(), 0);
}

}  // namespace
