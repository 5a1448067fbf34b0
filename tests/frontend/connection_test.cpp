// The connection manager with the real client and login against the test
// directory server in this process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/servers.h"
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
        const int before = open_descriptors();
        NCPCONN_init(&conn);
        std::remove(dir.file("helper.log").c_str());
        login_as("admin.acme", c.password);
        EXPECT_EQ(make_connection(), 1);
        EXPECT_EQ(flag_connected, 0);
        char line[64];
        std::snprintf(line, sizeof line, c.line, config_port);
        EXPECT_EQ(log_lines(), std::vector<std::string>{line});
        // The socket is closed at once, so that the next negative answer's
        // ping fails and a fresh connection is tried.
        EXPECT_EQ(conn.sock, -1);
        EXPECT_EQ(server->wait_for_lines("CLOSED", 1).size(), 1u);
        EXPECT_EQ(open_descriptors(), before);
    }
    config_port = closed_port();
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(log_lines().back(), "unable to connect 127.0.0.1:" + std::to_string(config_port) + ".");
}

// A server that failed is not tried again before its back-off ends: the
// next phase tries nothing and logs nothing; a success starts it afresh.
TEST_F(ConnectionManager, FailedServerBacksOffAndAnOldAnonymousSocketIsClosedFirst) {
    serve();
    login_as("admin.acme", "wrong");
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(servers_tried(), 1u);
    login_as("admin.acme", "secret");
    const size_t lines = log_lines().size();
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(servers_tried(), 0u);
    EXPECT_EQ(log_lines().size(), lines);
    EXPECT_EQ(server->lines("LOGIN").size(), 1u);

    servers_reset();
    EXPECT_EQ(make_connection(), 0);
    clear_connection();
    login_as("", "");
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(make_connection(), 0);
    // The failed login's, the logged-in one's and the first anonymous one's.
    EXPECT_EQ(server->wait_for_lines("CLOSED", 3).size(), 3u);
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

// The Server list: entries in order, "host" or "host:port"; four decimal
// numbers are an address read in decimal (leading zeros too), other text is
// looked up; entries that give no address are logged and contacted never.
TEST_F(ConnectionManager, ServerListGivesCandidatesInOrder) {
    struct Case {
        const char* server;
        std::vector<std::string> candidates;
        std::vector<std::string> log;
        bool as_configured;
    } cases[] = {
        {"10.1.1.5", {"10.1.1.5:524"}, {}, true},
        {"127.0.0.010", {"127.0.0.10:524"}, {}, true},
        {"010.001.000.255", {"10.1.0.255:524"}, {}, true},
        {"10.1.1.5:1524,10.1.1.6,10.1.1.5:1524", {"10.1.1.5:1524", "10.1.1.6:524"}, {}, false},
        {"10.1.1.5:1524", {"10.1.1.5:1524"}, {}, false},
        {"localhost", {"127.0.0.1:524"}, {}, true},
        {"", {}, {"unable to resolve ."}, false},
        {"255.255.255.255", {}, {"unable to resolve 255.255.255.255."}, false},
        {"host.invalid,10.1.1.7", {"10.1.1.7:524"}, {"unable to resolve host.invalid."}, false},
        {"10.1.1.256,1.2.3,1.2.3.4.5", {}, {"unable to resolve 10.1.1.256.", "unable to resolve 1.2.3.",
                                             "unable to resolve 1.2.3.4.5."}, false},
        {"10.1.1.5:0,10.1.1.5:70000,10.1.1.5:x,:524,10.1.1.5:", {},
         {"unable to resolve 10.1.1.5:0.", "unable to resolve 10.1.1.5:70000.", "unable to resolve 10.1.1.5:x.",
          "unable to resolve :524.", "unable to resolve 10.1.1.5:."}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        servers_reset();
        std::remove(dir.file("helper.log").c_str());
        std::snprintf(config_server, sizeof config_server, "%s", c.server);
        const size_t n = servers_refresh(ncp_clock_ns());
        std::vector<std::string> got;
        for (size_t i = 0; i < n; ++i) {
            char text[INET_ADDRSTRLEN];
            const sockaddr_in& a = server_at(i)->addr;
            inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
            got.push_back(std::string(text) + ":" + std::to_string(ntohs(a.sin_port)));
        }
        EXPECT_EQ(got, c.candidates);
        EXPECT_EQ(log_lines(), c.log);
        EXPECT_EQ(servers_as_configured(), c.as_configured);
    }
    // Entries without a port take Port's low 16 bits.
    config_port = 70000;
    std::snprintf(config_server, sizeof config_server, "10.1.1.5");
    ASSERT_EQ(servers_refresh(ncp_clock_ns()), 1u);
    EXPECT_EQ(ntohs(server_at(0)->addr.sin_port), 4464);
}

TEST_F(ConnectionManager, LeadingZerosAreDecimal) {
    server = std::make_unique<DirectoryServer>(front_end_directory(), [](ts::Options& o) { o.address = "127.0.0.10"; });
    ASSERT_TRUE(server->ok());
    std::snprintf(config_server, sizeof config_server, "127.000.0.010");
    config_port = server->port();
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"server 127.000.0.010 connected."});
}

// Back-off after each further failure: 1, 2, 4 ... 60 s; a success resets it.
TEST(Backoff, DoublesUpToAMinuteAndResets) {
    constexpr int64_t s = NCP_NS_PER_SECOND;
    Backoff b{0, 0};
    EXPECT_TRUE(backoff_due(&b, 5 * s));
    const int64_t waits[] = {1, 2, 4, 8, 16, 32, 60, 60};
    int64_t now = 1000 * s;
    for (int64_t wait : waits) {
        backoff_failed(&b, now);
        EXPECT_FALSE(backoff_due(&b, now + wait * s - 1)) << wait;
        EXPECT_TRUE(backoff_due(&b, now + wait * s)) << wait;
        now += wait * s;
    }
    backoff_reset(&b);
    EXPECT_TRUE(backoff_due(&b, now));
    backoff_failed(&b, now);
    EXPECT_TRUE(backoff_due(&b, now + s));
}

}  // namespace
