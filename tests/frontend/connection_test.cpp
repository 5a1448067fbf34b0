// The connection manager with the real client and login against the test
// directory server in this process.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/serverlist.h"
#include "frontend/servers.h"
#include "helper_process.h"
#include "hosts_file.h"
#include "runtime/clock.h"
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
    EXPECT_EQ(server->sent().logins(), 1u);
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(conn.sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 5);
    // While it is held, make_connection does nothing and logs nothing.
    const size_t sent = server->sent().round_trips();
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(server->sent().round_trips(), sent);
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
        {"secret", [](ts::Options& o) { o.user_key_bits = 1280; },
         "login failed: the user's key has 1280 bits, at most 1264 are supported."},
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
        char line[128];
        std::snprintf(line, sizeof line, c.line, config_port);
        EXPECT_EQ(log_lines(), std::vector<std::string>{line});
        // The socket is closed at once, so that the next negative answer's
        // ping fails and a fresh connection is tried.
        EXPECT_EQ(conn.sock, -1);
        EXPECT_EQ(server->wait_for_lines("CLOSED", 1).size(), 1u);
        EXPECT_EQ(open_descriptors(), before);
    }
    use_server("127.0.0.1", closed_port());
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
    EXPECT_EQ(server->sent().connections(), 1u);

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
    use_server("127.0.0.1", config_port + 65536);
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(log_lines().back(), "server 127.0.0.1 connected.");
    use_server("127.0.0.1", closed_port() + 65536);
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(log_lines().back(), "unable to connect 127.0.0.1:" + std::to_string(config_port) + ".");
}

// The Server value taken apart: entries in order, "host" or "host:port";
// four decimal numbers are an address read in decimal (leading zeros too);
// text of digits and dots that is not one, a bad port or an empty host
// never is; the rest are names.
TEST(ServerList, EntriesAreTakenApartOnce) {
    struct Case {
        const char* text;
        std::vector<std::string> entries;  // kind letter (a, n, x), host, ':' and port
    } cases[] = {
        {"10.1.1.5", {"a 10.1.1.5:524"}},
        {"127.0.0.010,010.001.000.255:1524", {"a 127.0.0.010:524", "a 010.001.000.255:1524"}},
        {"nds1.acme.example,10.1.1.6:1", {"n nds1.acme.example:524", "a 10.1.1.6:1"}},
        {"", {"x :524"}},
        {"255.255.255.255,10.1.1.256,1.2.3,1.2.3.4.5", {"x 255.255.255.255:524", "x 10.1.1.256:524", "x 1.2.3:524",
                                                       "x 1.2.3.4.5:524"}},
        {"10.1.1.5:0,h:70000,h:x,:524,h:,a,,b", {"x :524", "x :524", "x :524", "x :524", "x :524", "n a:524",
                                                  "x :524", "n b:524"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ServerList list;
        parse_server_list(c.text, 70060, &list);  // 70060 % 65536 == 4524
        std::vector<std::string> got;
        for (size_t i = 0; i < list.count; ++i) {
            const ServerEntry& e = list.entries[i];
            const char kind = e.kind == ENTRY_ADDRESS ? 'a' : e.kind == ENTRY_NAME ? 'n' : 'x';
            got.push_back(std::string(1, kind) + " " + e.host + ":" + std::to_string(e.has_port ? e.port : 524));
            if (!e.has_port) {
                EXPECT_EQ(e.port, 4524);
            }
        }
        EXPECT_EQ(got, c.entries);
        EXPECT_EQ(list.left_out, 0u);
    }
    std::string many;
    for (int i = 0; i < 70; ++i) many += (i > 0 ? "," : "") + std::string("10.1.1.") + std::to_string(i);
    ServerList list;
    parse_server_list(many, 524, &list);
    EXPECT_EQ(list.count, 64u);
    EXPECT_EQ(list.left_out, 6u);
    EXPECT_EQ(server_entry_text(many, list.entries[63]), "10.1.1.63");
}

// Candidates in the order of the list, an address listed twice tried once;
// an entry that gives no address is logged at each phase it is due in, and
// backs off like a server, wherever it stands in the list.
TEST_F(ConnectionManager, EveryEntryKeepsItsTurnAndBacksOff) {
    struct Case {
        std::string server;
        std::vector<std::string> candidates;
        std::vector<std::string> log;
    } cases[] = {
        {"10.1.1.5:1524,10.1.1.6,10.1.1.5:1524", {"10.1.1.5:1524", "10.1.1.6:524"}, {}},
        {"localhost", {"127.0.0.1:524"}, {}},
        {"host.invalid,10.1.1.7", {"10.1.1.7:524"}, {"unable to resolve host.invalid."}},
        {"10.1.1.5:0,1.2.3", {}, {"unable to resolve 10.1.1.5:0.", "unable to resolve 1.2.3."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        servers_reset();
        std::remove(dir.file("helper.log").c_str());
        use_server(c.server, 524);
        for (int phase = 0; phase < 2; ++phase) {
            const size_t n = servers_refresh(rt::clock_ns());
            std::vector<std::string> got;
            for (size_t i = 0; i < n; ++i) {
                if (const ServerCandidate* s = server_at(i))
                    got.push_back(std::string(s->text) + ":" + std::to_string(ntohs(s->addr.sin_port)));
            }
            EXPECT_EQ(got, c.candidates);
            EXPECT_EQ(log_lines(), c.log) << "the second phase is within the back-off";
        }
    }
    // Beyond the 32nd entry too, and beyond the 64th nothing is kept.
    std::string list;
    for (int i = 1; i <= 40; ++i) list += "10.1.2." + std::to_string(i) + ",";
    servers_reset();
    std::remove(dir.file("helper.log").c_str());
    use_server(list + "1.2.3,10.1.3.1", 524);
    for (int phase = 0; phase < 3; ++phase) {
        const size_t n = servers_refresh(rt::clock_ns());
        size_t candidates = 0;
        for (size_t i = 0; i < n; ++i) candidates += server_at(i) != nullptr ? 1 : 0;
        EXPECT_EQ(candidates, 41u);
    }
    EXPECT_EQ(log_lines(), std::vector<std::string>{"unable to resolve 1.2.3."});
}

// A name with many addresses: the first 8 are tried, the rest logged once,
// and the entries after it keep their turn.
TEST_F(ConnectionManager, ANameGivesAtMostEightCandidates) {
    std::string hosts;
    for (int i = 1; i <= 40; ++i) hosts += "127.0.1." + std::to_string(i) + " many.example\n";
    if (!use_hosts_file(hosts)) GTEST_SKIP() << "needs root for a hosts file of its own";
    serve();
    const std::string port = std::to_string(config_port);
    use_server("many.example:" + port + ",127.0.0.1:" + port, 524);
    for (int phase = 0; phase < 2; ++phase) {  // the second within the back-off of the first 8
        if (conn.sock >= 0) NCPCONN_disconnect(&conn);
        ASSERT_EQ(make_connection(), 0);
    }
    const std::vector<std::string> l = log_lines();
    EXPECT_EQ(count_lines(l, "server many.example:" + port + " has more than 8 addresses; only the first 8 are tried."),
              1u);
    for (int i = 1; i <= 9; ++i)
        EXPECT_EQ(count_lines(l, "unable to connect 127.0.1." + std::to_string(i) + ":" + port + "."), i <= 8 ? 1u : 0u);
    EXPECT_EQ(count_lines(l, "server 127.0.0.1:" + port + " connected."), 2u);
}

TEST_F(ConnectionManager, LeadingZerosAreDecimal) {
    server = std::make_unique<DirectoryServer>(front_end_directory(), [](ts::Options& o) { o.address = "127.0.0.10"; });
    ASSERT_TRUE(server->ok());
    use_server("127.000.0.010", server->port());
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"server 127.000.0.010 connected."});
}

// Back-off after each further failure: 1, 2, 4 ... 60 s; a success resets it.
TEST(Backoff, DoublesUpToAMinuteAndResets) {
    constexpr int64_t s = rt::NS_PER_SECOND;
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

// What becomes of a connection that breaks: these wait out time-outs.
class ConnectionPolicy : public FrontEnd {
protected:
    void SetUp() override {
        FrontEnd::SetUp();
        config_timeout = 1;
    }
};

// The server whose connection broke after it served is tried once more at
// once; when that try fails too, its back-off grows from the end of it, so
// the next request is answered at once instead of waiting on it again.
TEST_F(ConnectionPolicy, AFailedLastTryLengthensTheBackoff) {
    serve();
    ASSERT_EQ(make_connection(), 0);
    EXPECT_EQ(replies("alice staff\n"), "OK\n");
    const int port = server->port();
    server.reset();  // restarted, and hanging from its first request
    server = std::make_unique<DirectoryServer>(front_end_directory(), [&](ts::Options& o) {
        o.port = port;
        o.hang_after = 0;
    });
    ASSERT_TRUE(server->ok());
    EXPECT_EQ(replies("alice staff\nalice staff\n"), "ERR\nERR\n");
    EXPECT_EQ(server->sent().connections(), 1u);
    EXPECT_EQ(server_at(0)->backoff.failures, 2u);
}

// A server whose set-up succeeds but whose checks never answer: no last try
// after a connection that never served, and a set-up alone does not start
// the back-off afresh, so it grows with every check that breaks.
TEST_F(ConnectionPolicy, ASetUpAloneDoesNotStartTheBackoffAfresh) {
    serve([](ts::Options& o) { o.hang_after = 5; });  // the set-up's requests
    ASSERT_EQ(make_connection(), 0);
    for (uint32_t failures = 1; failures <= 2; ++failures) {
        EXPECT_EQ(replies("alice staff\nalice staff\n"), "ERR\nERR\n");
        EXPECT_EQ(server->sent().connections(), failures);
        const ServerCandidate* c = server_at(0);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->backoff.failures, failures);
        // The lost connection says when the next try is due, though it
        // tried nothing.
        EXPECT_EQ(count_lines(log_lines(), "no directory server reachable, next try in " +
                                               std::to_string(failures) + " s."),
                  1u);
        while (!backoff_due(&c->backoff, rt::clock_ns())) usleep(20 * 1000);
    }
}

// The round trips of each kind of check under either PingAfter; with
// "failure" a broken connection is found by the next check that fails, and
// built again.
TEST_F(ConnectionManager, PingAfterNegativeOrOnlyAfterAFailure) {
    serve([](ts::Options& o) { o.record = true; });
    ASSERT_EQ(make_connection(), 0);
    config_pingafter = PING_AFTER_NEGATIVE;
    expect_answers({{"alice staff", "OK\n", "rg"}, {"bob staff", "ERR\n", "rgp"}, {"nobody staff", "ERR\n", "rp"}});
    config_pingafter = PING_AFTER_FAILURE;
    expect_answers({{"alice staff", "OK\n", "rg"}, {"bob staff", "ERR\n", "rg"}, {"nobody staff", "ERR\n", "r"}});
    // The failed check, a new connection, the next check.
    expect_answers({{"alice staff\nalice staff", "ERR\nOK\n", "r" "cpvrg" "rg"}}, [](ts::Options& o) {
        o.drop_after = 0;
        o.fault_once = true;
    });
}
