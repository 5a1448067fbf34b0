// Faults of the server during a stream of requests: the server killed and
// started again on its port, connections dropped, the server hanging. Every
// request gets exactly one reply, in order (lines without a blank, answered
// without the server, mark the places in the stream); no reply comes later
// than the configured Timeout allows (three socket time-outs in a row at
// most: the request, the ping, one step of the new login; 2 x Timeout + 1 s
// in fact); a member is never
// reported for a non-member; the helper recovers once the server serves
// again; and it holds as many descriptors at the end as at the start.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "harness.h"
#include "helper_process.h"
#include "server_process.h"

namespace {

constexpr int kTimeoutS = 1;
// The bound for one reply: generous, so that only a hang shows up.
constexpr int64_t kReplyBoundMs = (kTimeoutS * 3 + 5) * 1000;
constexpr int kReplyWaitS = 30;
constexpr int kBackoffMaxS = 60;

struct Stream {
    rel::Workload w = rel::make_workload(8, 6, 3);
    rel::RequestStream requests{w, 11, 0, 3};
    long index = 0;
    long members_ok = 0;
    int64_t slowest_ms = 0;

    std::string config(uint16_t port) const {
        return helper_config(port, "SearchUser " + w.search_user + "\nSearchPass " + w.search_password +
                                       "\nTimeout " + std::to_string(kTimeoutS) + "\n");
    }
};

// Checks one reply of a stream under faults: exact for lines without a
// blank and for non-members, "OK" or "ERR" for members (exact when strict).
::testing::AssertionResult check(const rel::Request& r, const std::optional<std::string>& reply,
                                 long index, bool strict) {
    if (!reply) return ::testing::AssertionFailure() << "no reply to request " << index << " '" << r.line << "'";
    const std::string want = r.expected + "\n";
    if (*reply == want) return ::testing::AssertionSuccess();
    if (!strict && r.kind == rel::Kind::Member && *reply == "ERR\n") return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "request " << index << " '" << r.line << "': got '" << *reply
                                         << "', want '" << want << "'";
}

// One request, its reply awaited and timed.
::testing::AssertionResult ask(HelperProcess& h, Stream& s, bool strict) {
    const rel::Request r = s.requests.next();
    const long index = s.index++;
    const int64_t t0 = rel::now_ms();
    if (!h.send(r.line)) return ::testing::AssertionFailure() << "helper stopped reading at " << index;
    const auto reply = h.reply(kReplyWaitS);
    const int64_t took = rel::now_ms() - t0;
    if (took > s.slowest_ms) s.slowest_ms = took;
    auto ok = check(r, reply, index, strict);
    if (!ok) return ok;
    if (took > kReplyBoundMs) return ::testing::AssertionFailure() << "request " << index << " took " << took << " ms";
    if (r.kind == rel::Kind::Member && *reply == "OK\n") ++s.members_ok;
    return ::testing::AssertionSuccess();
}

// Member requests until one is answered "OK": the helper is connected and
// logged in again. Requests are answered at once while the server backs off
// after its failures (a minute at most), so they are asked every 50 ms.
::testing::AssertionResult recover(HelperProcess& h, Stream& s) {
    const int64_t end = rel::now_ms() + (kBackoffMaxS + 10) * 1000;
    while (rel::now_ms() < end) {
        const long before = s.members_ok;
        auto ok = ask(h, s, false);
        if (!ok) return ok;
        if (s.members_ok > before) return ::testing::AssertionSuccess();
        usleep(50 * 1000);
    }
    return ::testing::AssertionFailure() << "no member answered OK after the fault ended";
}

// Stream end: no reply beyond those asked for, and a clean exit.
void finish(HelperProcess& h) {
    h.close_input();
    EXPECT_EQ(h.rest_of_output(60), "");
    EXPECT_EQ(h.wait(60), 0);
}

TEST(Faults, ServerKilledAndRestartedRepeatedly) {
    Stream s;
    auto server = std::make_unique<ServerProcess>(s.w.directory);
    const uint16_t port = server->port();
    ASSERT_NE(port, 0);
    HelperProcess h(s.config(port));
    ASSERT_GT(h.pid(), 0);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(ask(h, s, true));
    const int fds = h.open_descriptors();

    for (int cycle = 0; cycle < 6; ++cycle) {
        server->kill_hard();
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(ask(h, s, false)) << "cycle " << cycle << ", server down";
        server = std::make_unique<ServerProcess>(s.w.directory, std::vector<std::string>{}, port);
        ASSERT_EQ(server->port(), port) << "the server could not listen on its port again";
        ASSERT_TRUE(recover(h, s)) << "cycle " << cycle;
        for (int i = 0; i < 6; ++i) ASSERT_TRUE(ask(h, s, true)) << "cycle " << cycle << ", server back";
    }
    EXPECT_EQ(h.open_descriptors(), fds);
    finish(h);
    EXPECT_TRUE(server->deviations().empty());
    std::printf("slowest reply %lld ms\n", static_cast<long long>(s.slowest_ms));
}

// The same with the requests queued in the helper's input: the server is
// killed after 150 of them have been written and started again after 100
// more, wherever the helper has got to by then.
TEST(Faults, ServerKilledUnderPipelinedStream) {
    Stream s;
    auto server = std::make_unique<ServerProcess>(s.w.directory);
    const uint16_t port = server->port();
    ASSERT_NE(port, 0);
    HelperProcess h(s.config(port));
    ASSERT_GT(h.pid(), 0);
    ASSERT_TRUE(ask(h, s, true));
    const int fds = h.open_descriptors();

    std::vector<rel::Request> sent;
    auto send_some = [&](int n) {
        for (int i = 0; i < n; ++i) {
            sent.push_back(s.requests.next());
            if (!h.send(sent.back().line)) return false;
        }
        return true;
    };
    ASSERT_TRUE(send_some(150));
    server->kill_hard();
    ASSERT_TRUE(send_some(100));
    server = std::make_unique<ServerProcess>(s.w.directory, std::vector<std::string>{}, port);
    ASSERT_EQ(server->port(), port);
    ASSERT_TRUE(send_some(150));
    for (size_t i = 0; i < sent.size(); ++i) ASSERT_TRUE(check(sent[i], h.reply(kReplyWaitS), static_cast<long>(i), false));

    ASSERT_TRUE(recover(h, s));
    EXPECT_EQ(h.open_descriptors(), fds);
    finish(h);
}

// Every connection is closed by the server instead of answering its 21st
// request: after the login a connection serves a few requests, then the
// helper has to notice and log in again, over and over.
TEST(Faults, ConnectionsDroppedOverAndOver) {
    Stream s;
    ServerProcess server(s.w.directory, {"--drop-after", "20"});
    ASSERT_NE(server.port(), 0);
    HelperProcess h(s.config(server.port()));
    ASSERT_GT(h.pid(), 0);
    ASSERT_TRUE(recover(h, s));
    const int fds = h.open_descriptors();
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(ask(h, s, false));
    ASSERT_TRUE(recover(h, s));
    EXPECT_EQ(h.open_descriptors(), fds);
    EXPECT_GE(server.lines("DROP").size(), 10u);
    EXPECT_GE(s.members_ok, 20);  // it kept serving between the drops
    finish(h);
    EXPECT_TRUE(server.deviations().empty());
}

// The first connection to get past its 16th request gets no more answers:
// the request in flight times out, the ping times out, and a new connection
// serves again.
TEST(Faults, ServerHangsOnce) {
    Stream s;
    ServerProcess server(s.w.directory, {"--hang-after", "16", "--fault-once"});
    ASSERT_NE(server.port(), 0);
    HelperProcess h(s.config(server.port()));
    ASSERT_GT(h.pid(), 0);
    ASSERT_TRUE(recover(h, s));
    const int fds = h.open_descriptors();
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(ask(h, s, false));
    ASSERT_TRUE(recover(h, s));
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(ask(h, s, true));
    EXPECT_EQ(h.open_descriptors(), fds);
    finish(h);
    std::printf("slowest reply %lld ms\n", static_cast<long long>(s.slowest_ms));
}

// After a healthy start the server comes back hanging in the middle of every
// login: a request costs at most its check's time-out and one login's, still
// gets its "ERR" within the bound, and the dead sockets are not kept.
TEST(Faults, ServerHangsDuringEveryLogin) {
    Stream s;
    auto server = std::make_unique<ServerProcess>(s.w.directory);
    const uint16_t port = server->port();
    ASSERT_NE(port, 0);
    HelperProcess h(s.config(port));
    ASSERT_GT(h.pid(), 0);
    ASSERT_TRUE(recover(h, s));
    const int fds = h.open_descriptors();

    server->kill_hard();
    server = std::make_unique<ServerProcess>(s.w.directory, std::vector<std::string>{"--hang-after", "7"}, port);
    ASSERT_EQ(server->port(), port);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(ask(h, s, false));
    EXPECT_LE(h.open_descriptors(), fds);

    server->kill_hard();
    server = std::make_unique<ServerProcess>(s.w.directory, std::vector<std::string>{}, port);
    ASSERT_EQ(server->port(), port);
    ASSERT_TRUE(recover(h, s));
    EXPECT_EQ(h.open_descriptors(), fds);
    finish(h);
    EXPECT_GE(s.slowest_ms, kTimeoutS * 1000);  // the hangs were really waited out
    std::printf("slowest reply %lld ms\n", static_cast<long long>(s.slowest_ms));
}

}  // namespace
