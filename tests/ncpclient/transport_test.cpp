#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "peer.h"
#include "runtime/clock.h"

namespace {

const Bytes kCreateRequest = {0x44, 0x6D, 0x64, 0x54, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x01,
                              0x00, 0x00, 0x00, 0x00, 0x11, 0x11, 0x00, 0xFF, 0x01, 0xFF, 0x00};

int call(NcpConnection* conn, const Bytes& data, uint8_t* reply, size_t* len) {
    return ncp_tcp_call(conn, NCP_SERVICE_REQUEST, data.data(), data.size(), reply, len);
}

TEST(Transport, CreateRequestAndConnectionNumber) {
    Peer peer;
    sockaddr_in addr = peer.start_tcp({{ncp_reply({}, 0, 0x0105)}, {ncp_reply({})}});
    auto conn = new_connection();
    ASSERT_EQ(ncp_connect_tcp(conn.get(), &addr, 10), 0);
    EXPECT_EQ(conn->connected, 1);
    EXPECT_EQ(conn->conn_number, 0x0105);
    EXPECT_EQ(call(conn.get(), {0x17}, nullptr, nullptr), 0);
    NCPCONN_disconnect(conn.get());
    auto reqs = peer.join();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], kCreateRequest);
    const Bytes next = {0x44, 0x6D, 0x64, 0x54, 0, 0, 0, 23, 0, 0, 0, 1, 0, 0, 0, 0, 0x22, 0x22, 0x01, 0x05, 0x01, 0x01, 0x17};
    EXPECT_EQ(reqs[1], next);
}

TEST(Transport, SequenceWrapsAfter256Requests) {
    auto conn = new_connection();
    std::vector<Step> steps(256, Step{ncp_reply({})});
    Peer peer;
    peer.start_pair(conn.get(), steps);
    conn->sequence = 7;
    for (int i = 0; i < 256; ++i) ASSERT_EQ(call(conn.get(), {0x68}, nullptr, nullptr), 0);
    EXPECT_EQ(conn->sequence, 7);
    NCPCONN_disconnect(conn.get());
    auto reqs = peer.join();
    ASSERT_EQ(reqs.size(), 256u);
    for (size_t i = 0; i < reqs.size(); ++i) EXPECT_EQ(reqs[i][18], static_cast<uint8_t>(7 + i));
}

TEST(Transport, ReplyDataCases) {
    auto conn = new_connection();
    Peer peer;
    peer.start_pair(conn.get(), {
        {ncp_reply({1, 2, 3}, 0x89)},                   // error code: data read, call fails
        {ncp_reply(Bytes(100, 0xAA))},                  // more than the capacity: rest dropped
        {ncp_reply({})},                                // no data at all
        {ncp_reply({4, 5, 6, 7}), 5},                   // head arrives in two pieces
        {ncp_reply({9, 9}), 0},                         // data without a buffer: dropped
        {ncp_reply({8})},                               // still in step
    });
    uint8_t buf[32];
    size_t len = sizeof buf;
    EXPECT_EQ(call(conn.get(), {0x01}, buf, &len), 1);
    EXPECT_EQ(len, 3u);
    len = 10;
    EXPECT_EQ(call(conn.get(), {0x02}, buf, &len), 0);
    EXPECT_EQ(len, 10u);
    len = sizeof buf;
    EXPECT_EQ(call(conn.get(), {0x03}, buf, &len), 0);
    EXPECT_EQ(len, 0u);
    len = sizeof buf;
    EXPECT_EQ(call(conn.get(), {0x04}, buf, &len), 0);
    EXPECT_EQ(Bytes(buf, buf + len), (Bytes{4, 5, 6, 7}));
    EXPECT_EQ(call(conn.get(), {0x05}, nullptr, nullptr), 0);
    len = sizeof buf;
    EXPECT_EQ(call(conn.get(), {0x06}, buf, &len), 0);
    EXPECT_EQ(Bytes(buf, buf + len), Bytes{8});
    NCPCONN_disconnect(conn.get());
    EXPECT_EQ(peer.join().size(), 6u);
}

TEST(Transport, BrokenRepliesFail) {
    Bytes bad_sig = ncp_reply({});
    bad_sig[0] = 'X';
    Bytes short_len = ncp_reply({});
    short_len[7] = 15;
    Bytes huge = ncp_reply({});
    huge[4] = 0x7F;  // announces about 2 GB
    for (const Bytes& reply : {bad_sig, short_len, huge}) {
        auto conn = new_connection();
        Peer peer;
        peer.start_pair(conn.get(), {{reply, 0, true}});
        uint8_t buf[16];
        size_t len = sizeof buf;
        EXPECT_EQ(call(conn.get(), {0x01}, buf, &len), 1);
        NCPCONN_disconnect(conn.get());
        peer.join();
    }
}

TEST(Transport, PeerClosingFailsTheExchangeWithoutSigpipe) {
    auto conn = new_connection();
    Peer peer;
    Bytes cut = ncp_reply(Bytes(20, 0x11));
    cut.resize(16 + 7);  // hangs up after 7 of 20 data bytes
    peer.start_pair(conn.get(), {{cut, 0, true}});
    uint8_t buf[64];
    size_t len = sizeof buf;
    EXPECT_EQ(call(conn.get(), {0x01}, buf, &len), 1);
    EXPECT_EQ(len, 7u);
    peer.join();
    // The peer is gone: further sends fail as exchanges, not as a signal.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(call(conn.get(), Bytes(4000, 0), nullptr, nullptr), 1);
    NCPCONN_disconnect(conn.get());
}

TEST(Transport, SilentServerTimesOut) {
    Peer peer;
    sockaddr_in addr = peer.start_tcp({{ncp_reply({})}, {Bytes{}}});  // second request: no answer
    auto conn = new_connection();
    ASSERT_EQ(ncp_connect_tcp(conn.get(), &addr, 1), 0);
    EXPECT_EQ(call(conn.get(), {0x68}, nullptr, nullptr), 1);
    NCPCONN_disconnect(conn.get());
    peer.join();
}

TEST(Transport, DisconnectAndReconnectHoldNoStaleDescriptor) {
    Peer first;
    sockaddr_in a1 = first.start_tcp({{ncp_reply({})}});
    auto conn = new_connection();
    ASSERT_EQ(ncp_connect_tcp(conn.get(), &a1, 10), 0);
    Peer second;
    sockaddr_in a2 = second.start_tcp({{ncp_reply({})}});
    // Connecting again closes the first socket: the first peer sees EOF.
    ASSERT_EQ(ncp_connect_tcp(conn.get(), &a2, 10), 0);
    first.join();
    EXPECT_EQ(first.extra_bytes(), 0u);
    EXPECT_EQ(NCPCONN_disconnect(conn.get()), 0);
    EXPECT_EQ(conn->connected, 0);
    EXPECT_EQ(conn->sock, -1);
    second.join();
    EXPECT_EQ(second.extra_bytes(), 0u);  // disconnect sends nothing
    EXPECT_EQ(call(conn.get(), {0x01}, nullptr, nullptr), 1);
    EXPECT_EQ(NCPCONN_ndsping(conn.get()), 1);

    // A refused connect leaves no socket behind.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in dead{};
    dead.sin_family = AF_INET;
    dead.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof dead;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&dead), sizeof dead), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&dead), &len), 0);
    close(s);
    EXPECT_EQ(ncp_connect_tcp(conn.get(), &dead, 10), 1);
    EXPECT_EQ(conn->sock, -1);
    EXPECT_EQ(conn->connected, 0);
}

// What a failed exchange leaves: a failure of the transport itself closes
// the socket (the stream is out of step); a completion code does not.
TEST(Transport, TransportFailuresCloseTheSocketCompletionCodesDoNot) {
    Bytes excess = ncp_reply({1, 2});
    excess.push_back(0x77);  // a byte beyond the announced reply
    Bytes bad_sig = ncp_reply({});
    bad_sig[0] = 'X';
    Bytes cut = ncp_reply(Bytes(20, 0x11));
    cut.resize(16 + 7);
    struct Case {
        const char* what;
        Step step;
        NcpFailureKind kind;
        int32_t code;
        bool closed;
    } cases[] = {
        {"completion code", {ncp_reply({1, 2, 3}, 0x89)}, NCP_FAIL_COMPLETION, 0x89, false},
        {"bytes beyond the reply", {excess}, NCP_FAIL_OUT_OF_STEP, 0, true},
        {"wrong signature", {bad_sig}, NCP_FAIL_OUT_OF_STEP, 0, true},
        {"peer closed", {cut, 0, true}, NCP_FAIL_CLOSED, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto conn = new_connection();
        Peer peer;
        peer.start_pair(conn.get(), {c.step});
        uint8_t buf[64];
        size_t len = sizeof buf;
        EXPECT_EQ(call(conn.get(), {0x68, 0x01}, buf, &len), 1);
        EXPECT_EQ(conn->failure.kind, c.kind);
        EXPECT_EQ(conn->failure.code, c.code);
        EXPECT_EQ(conn->failure.type, NCP_SERVICE_REQUEST);
        EXPECT_EQ(conn->failure.function, 0x68);
        EXPECT_EQ(conn->sock == -1 && conn->connected == 0, c.closed);
        NCPCONN_disconnect(conn.get());
        peer.join();
    }
}

// A reply that keeps coming, a byte at a time, ends at the deadline, not
// when it stops; and nothing is sent once the budget is spent.
TEST(Transport, TheDeadlineBoundsTheWholeReply) {
    auto conn = new_connection();
    Peer peer;
    peer.start_pair(conn.get(), {{ncp_reply(Bytes(40, 0x22)), 0, false, 100}});
    conn->timeout = 1;
    uint8_t buf[64];
    size_t len = sizeof buf;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(call(conn.get(), {0x68}, buf, &len), 1);
    EXPECT_LE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    EXPECT_EQ(conn->failure.kind, NCP_FAIL_TIMEOUT);
    EXPECT_EQ(conn->sock, -1);
    peer.join();

    auto spent = new_connection();
    Peer idle;
    idle.start_pair(spent.get(), {});
    spent->budget_end = rt::clock_ns() - 1;
    EXPECT_EQ(call(spent.get(), {0x68}, nullptr, nullptr), 1);
    EXPECT_EQ(spent->failure.kind, NCP_FAIL_TIMEOUT);
    EXPECT_GE(spent->sock, 0);  // nothing sent: still in step
    NCPCONN_disconnect(spent.get());
    EXPECT_TRUE(idle.join().empty());
    EXPECT_EQ(idle.extra_bytes(), 0u);
}

}  // namespace
