// The request loop over the real connection manager, group check and client,
// against the test directory server in this process. Debug is on, so the
// helper's log shows which user and group each request checked.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/requestloop.h"
#include "helper_process.h"
#include "tests/frontend/front_end.h"

namespace {

int memfile(const std::string& content) {
    int fd = memfd_create("loop", 0);
    if (fd < 0) return -1;
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return -1;
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string contents(int fd) {
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

// The replies of the request loop to the input.
std::string replies_to(const std::string& input) {
    int in = memfile(input);
    int out = memfile("");
    serve_requests(in, out);
    std::string replies = contents(out);
    close(in);
    close(out);
    return replies;
}

class RequestLoop : public FrontEnd {
protected:
    void SetUp() override {
        FrontEnd::SetUp();
        serve();
        config_debug = 1;
        ASSERT_EQ(make_connection(), 0);
    }
    std::string run(const std::string& input) { return replies_to(input); }
    // The log after the connect line.
    std::vector<std::string> checks() const {
        std::vector<std::string> l = log_lines();
        l.erase(l.begin());
        return l;
    }
};

TEST_F(RequestLoop, SplitsAtTheFirstBlankAndTheGroupIsTheRest) {
    EXPECT_EQ(run("alice staff\n"
                  "alice    staff\n"
                  "alice staff admins\n"
                  "alice \n"
                  " alice staff\n"
                  "alice\tstaff x\n"
                  "alice staff\r\n"),
              "OK\nOK\nERR\nERR\nERR\nERR\nERR\n");
    EXPECT_EQ(checks(), (std::vector<std::string>{
                            "DEBUG: Object \"alice\" is in group \".staff\"", "alice in group staff",
                            "DEBUG: Object \"alice\" is in group \".staff\"", "alice in group staff",
                            "DEBUG: Object \"alice\" is in group \".staff\"", "alice NOT in group staff admins",
                            "DEBUG: Object \"alice\" is in group \".staff\"", "alice NOT in group ",
                            "DEBUG: resolve failed: NDS error -601 from verb 1",
                            "failed to resolve .  NOT in group alice staff",
                            "DEBUG: resolve failed: NDS error -601 from verb 1",
                            "failed to resolve alice%09staff. alice%09staff NOT in group x",
                            "DEBUG: Object \"alice\" is in group \".staff\"", "alice NOT in group staff%0D"}));
}

TEST_F(RequestLoop, NoBlankIsAnInvalidStringWithoutAnyDirectoryRequest) {
    const size_t before = server->lines("CLOSED").size();
    EXPECT_EQ(run("alice\n\nalice\tstaff\n"), "ERR Invalid string\nERR Invalid string\nERR Invalid string\n");
    EXPECT_TRUE(checks().empty());
    EXPECT_EQ(server->lines("CLOSED").size(), before);
}

TEST_F(RequestLoop, LastLineWithoutLineFeedIsARequest) {
    EXPECT_EQ(run("bob staff\nalice staff"), "ERR\nOK\n");
    EXPECT_EQ(run(""), "");
}

TEST_F(RequestLoop, PercentDecodingComesAfterTheSplitAndOnlyWhenSwitchedOn) {
    EXPECT_EQ(run("john%20doe staff\n"), "ERR\n");
    config_convertpercent = 1;
    EXPECT_EQ(run("john%20doe st%41ff%00x\n"), "ERR\n");  // group "stAff"
    EXPECT_EQ(run("john%20doe %73taff\n"), "OK\n");
    std::vector<std::string> l = checks();
    ASSERT_EQ(l.size(), 6u);
    EXPECT_EQ(l[1], "failed to resolve john%20doe. john%20doe NOT in group staff");
    EXPECT_EQ(l[3], "john doe NOT in group stAff");
    EXPECT_EQ(l[5], "john doe in group staff");
}

TEST_F(RequestLoop, NulInsideALineEndsTheUserPart) {
    EXPECT_EQ(run(std::string("alice\0 staff\n", 13) + std::string("al\0ice staff\n", 13)),
              "ERR Invalid string\nERR Invalid string\n");
    EXPECT_TRUE(checks().empty());
}

TEST_F(RequestLoop, OverLongLineIsAnsweredErrWithoutACheckAndNotSplit) {
    std::string fits = "u " + std::string(509, 'g');  // 511 characters
    std::string over = "u " + std::string(510, 'g');  // 512 characters
    std::string huge = "alice staff" + std::string(9000, ' ') + "x";
    EXPECT_EQ(run(fits + "\n" + over + "\n" + huge + "\nalice staff\n"), "ERR\nERR\nERR\nOK\n");
    EXPECT_EQ(checks(), (std::vector<std::string>{"DEBUG: resolve failed: NDS error -601 from verb 1",
                                                  "failed to resolve u. u NOT in group " + std::string(509, 'g'),
                                                  "DEBUG: Object \"alice\" is in group \".staff\"",
                                                  "alice in group staff"}));
}

// A negative answer is followed by a ping; when it fails, the connection is
// built again before the next request.
TEST_F(RequestLoop, NegativeAnswerPingsAndReconnectsOnlyWhenThePingFails) {
    EXPECT_EQ(run("alice staff\nbob staff\n"), "OK\nERR\n");
    EXPECT_EQ(server->lines("CLOSED").size(), 0u);
    server->set([](ts::Options& o) { o.bad_ping_length = 0; });
    EXPECT_EQ(run("bob staff\nalice staff\n"), "ERR\nOK\n");
    std::vector<std::string> l = checks();
    EXPECT_EQ(std::vector<std::string>(l.begin() + 3, l.end()),
              (std::vector<std::string>{"bob NOT in group staff",
                                        "DEBUG: ping failed: reply not as expected in NCP function 104",
                                        "nds ping failed. reconnecting.",
                                        "server 127.0.0.1 connected.",
                                        "DEBUG: Object \"alice\" is in group \".staff\"", "alice in group staff"}));
    EXPECT_EQ(server->lines("CLOSED").size(), 1u);
}

// A request the directory could not decide is answered "ERR" as always, or
// with FailureReply BH the proxy's "BH" and the reason; members, non-members
// and unknown users keep their answers either way.
TEST_F(RequestLoop, UndecidedRequestsAreAnsweredAsFailureReplySays) {
    const std::string failed = "BH message=\"directory request failed\"\n";
    const std::string unreachable = "BH message=\"directory unreachable\"\n";
    config_debug = 0;
    for (int32_t reply : {FAILURE_REPLY_ERR, FAILURE_REPLY_BH}) {
        SCOPED_TRACE(reply);
        const bool bh = reply == FAILURE_REPLY_BH;
        config_failurereply = reply;
        EXPECT_EQ(run("alice staff\nbob staff\nnobody staff\n"), "OK\nERR\nERR\n");
        server->set([](ts::Options& o) { o.fail_verb[3] = 0xFFFFFD60; });  // reading groups refused
        EXPECT_EQ(run("alice staff\nnobody staff\n"), (bh ? failed : "ERR\n") + "ERR\n");
        server->set([](ts::Options& o) {  // the connection closed at the next request
            o.fail_verb.clear();
            o.drop_after = 0;
            o.fault_once = true;
        });
        EXPECT_EQ(run("alice staff\n"), bh ? failed : "ERR\n");
        server->set([](ts::Options& o) {
            o.fail_verb.clear();
            o.drop_after = -1;
        });
        EXPECT_EQ(run("alice staff\n"), "OK\n");
    }
    // No server at all: the request that finds the connection gone, then
    // those answered at once while the server backs off.
    server.reset();
    EXPECT_EQ(run("alice staff\nalice staff\nx\n"), failed + unreachable + "ERR Invalid string\n");
}

TEST_F(RequestLoop, StopsWhenRepliesCannotBeWritten) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    int in = memfile("alice staff\nbob staff\nalice staff\n");
    serve_requests(in, fds[1]);
    close(in);
    close(fds[1]);
    EXPECT_EQ(checks().size(), 2u);  // one check; the rest of the input is not read
}

TEST_F(RequestLoop, EveryLineOfABigInputGetsOneReplyInOrder) {
    config_debug = 0;
    std::string input, expected;
    for (int i = 0; i < 3000; ++i) {
        const int kind = i % 3;
        input += kind == 0 ? "alice staff\n" : kind == 1 ? "alice other\n" : "nobody staff\n";
        expected += kind == 0 ? "OK\n" : "ERR\n";
    }
    EXPECT_EQ(run(input), expected);
}

// A re-login refused once (a password changed and changed back, a lock-out
// lifted) on a tree where only logged-in connections read groups: the
// refused connection is closed, so the helper tries again after the
// back-off instead of staying on a connection that reads nothing.
TEST_F(FrontEnd, RefusedReloginIsRecoveredAfterTheBackoff) {
    serve({}, false);
    login_as("admin.acme", "secret");
    config_debug = 1;
    ASSERT_EQ(make_connection(), 0);
    EXPECT_EQ(replies_to("alice staff\n"), "OK\n");
    server->set([](ts::Options& o) {  // the connection closed, the next login refused
        o.drop_after = 0;
        o.fault_once = true;
        o.fail_verb[58] = 0xFFFFFD63;  // -669
    });
    EXPECT_EQ(replies_to("alice staff\n"), "ERR\n");
    EXPECT_EQ(conn.sock, -1);
    server->set([](ts::Options& o) {
        o.drop_after = -1;
        o.fail_verb.clear();
    });
    std::string reply;
    for (int i = 0; i < 100 && reply != "OK\n"; ++i) {
        if (i > 0) usleep(50 * 1000);
        reply = replies_to("alice staff\n");
    }
    EXPECT_EQ(reply, "OK\n");
    const std::vector<std::string> l = log_lines();
    const std::string port = std::to_string(config_port);
    EXPECT_EQ(count_lines(l, "DEBUG: resolve failed: connection closed by the server in verb 1"), 1u);
    EXPECT_EQ(count_lines(l, "login failed on 127.0.0.1:" + port + "."), 1u);
    EXPECT_EQ(count_lines(l, "DEBUG: login failed: NDS error -669 from verb 58"), 1u);
    EXPECT_EQ(count_lines(l, "no directory server reachable, next try in 1 s."), 1u);
    EXPECT_EQ(count_lines(l, "server 127.0.0.1 connected."), 2u);
    EXPECT_TRUE(server->lines("NO-ACCESS").empty());
}

// Every exchange ends within Timeout, whatever the server sends or
// withholds, so a request is answered within 2 x Timeout + 1 s of being
// read; replies that are slow but come within Timeout still count.
TEST_F(FrontEnd, WaitsAreBoundedWhateverTheServerDoes) {
    constexpr int kTimeoutS = 1;
    const auto bound = std::chrono::milliseconds((2 * kTimeoutS + 1) * 1000 + 500);
    struct Case {
        const char* what;
        DirectoryServer::Setup fault;
        const char* reply;
    } cases[] = {
        {"a byte every 300 ms", [](ts::Options& o) { o.trickle_ms = 300; }, "ERR\n"},
        {"no answer any more", [](ts::Options& o) { o.hang_after = 0; }, "ERR\n"},
        {"each reply 600 ms late", [](ts::Options& o) { o.reply_delay_ms = 600; }, "OK\n"},
    };
    serve();
    config_timeout = kTimeoutS;
    ASSERT_EQ(make_connection(), 0);
    const auto healthy = [](ts::Options& o) {
        o.trickle_ms = 0;
        o.hang_after = -1;
        o.reply_delay_ms = 0;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server->set(c.fault);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(replies_to("alice staff\n"), c.reply);
        EXPECT_LE(std::chrono::steady_clock::now() - t0, bound);
        server->set(healthy);
        std::string reply;
        for (int i = 0; i < 100 && reply != "OK\n"; ++i) {
            if (i > 0) usleep(50 * 1000);
            reply = replies_to("alice staff\n");
        }
        EXPECT_EQ(reply, "OK\n");
    }
}

}  // namespace
