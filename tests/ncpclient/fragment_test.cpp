#include <gtest/gtest.h>

#include "peer.h"

namespace {

constexpr uint32_t kLast = 0xFFFFFFFF;

Bytes request_data(const Bytes& packet) { return Bytes(packet.begin() + 22, packet.end()); }

struct Bufs {
    uint8_t rq[8192];
    uint8_t rp[1024];
    NWDSBuf req;
    NWDSBuf rep;
    Bufs(uint32_t verb, size_t reply_size = sizeof rp) {
        NWDSBufSetup(&req, rq, sizeof rq);
        NWDSBufSetup(&rep, rp, reply_size);
        NWDSBufInit(&req, verb);
    }
    Bytes received() const { return Bytes(rep.data, rep.end); }
};

TEST(Fragments, EmptyRequestIsOneExactFragment) {
    auto conn = new_connection();
    Peer peer;
    peer.start_pair(conn.get(), {{ncp_reply(frag_reply(kLast, {0, 0, 0, 0}))}});
    Bufs b(53);
    ASSERT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 0);
    EXPECT_EQ(b.rep.cursor, b.rep.data);
    EXPECT_EQ(b.received(), (Bytes{0, 0, 0, 0}));
    NCPCONN_disconnect(conn.get());
    auto reqs = peer.join();
    ASSERT_EQ(reqs.size(), 1u);
    const Bytes expect = {0x68, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xF4, 0x0F, 0x00, 0x00, 0x0C, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x35, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
    EXPECT_EQ(request_data(reqs[0]), expect);
}

TEST(Fragments, LongRequestGoesOutInTwoFragments) {
    auto conn = new_connection();
    Peer peer;
    peer.start_pair(conn.get(), {{ncp_reply(frag_reply(0x1234, {}))}, {ncp_reply(frag_reply(kLast, {7}))}});
    Bufs b(57);
    Bytes body(5000);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 13);
    ASSERT_EQ(NWDSBufPut(&b.req, body.data(), body.size()), 0);
    ASSERT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 0);
    EXPECT_EQ(b.received(), Bytes{7});
    NCPCONN_disconnect(conn.get());
    auto reqs = peer.join();
    ASSERT_EQ(reqs.size(), 2u);
    Bytes first = request_data(reqs[0]);
    ASSERT_EQ(first.size(), 26u + 4070);
    EXPECT_EQ(Bytes(first.begin() + 10, first.begin() + 14), le32(5012));
    EXPECT_EQ(Bytes(first.begin() + 26, first.end()), Bytes(body.begin(), body.begin() + 4070));
    Bytes second = request_data(reqs[1]);
    EXPECT_EQ(second, cat({{0x68, 0x02}, le32(0x1234), Bytes(body.begin() + 4070, body.end())}));
}

TEST(Fragments, ThreeFragmentReplyIsReassembled) {
    auto conn = new_connection();
    Peer peer;
    peer.start_pair(conn.get(), {{ncp_reply(frag_reply(0xA1, {1, 2, 3}))},
                                 {ncp_reply(frag_reply(0xB2, {}))},   // F = 4: nothing appended
                                 {ncp_reply(frag_reply(kLast, {4, 5}))}});
    Bufs b(1);
    ASSERT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 0);
    EXPECT_EQ(b.received(), (Bytes{1, 2, 3, 4, 5}));
    NCPCONN_disconnect(conn.get());
    auto reqs = peer.join();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(request_data(reqs[1]), cat({{0x68, 0x02}, le32(0xA1)}));
    EXPECT_EQ(request_data(reqs[2]), cat({{0x68, 0x02}, le32(0xB2)}));
    EXPECT_EQ(reqs[2][18], 2);  // every fragment is its own NCP request
}

TEST(Fragments, ReplyBytesStayWithinBufferAndArrival) {
    auto conn = new_connection();
    Bytes big(200);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    Peer peer;
    peer.start_pair(conn.get(), {
        {ncp_reply(frag_reply(0xC3, big))},                 // 128-byte buffer: first 128 kept
        {ncp_reply(frag_reply(kLast, {0xEE}))},             // dropped, but fetched
        {ncp_reply(frag_reply(kLast, {1, 2, 3}, 4000))},    // F beyond what arrived
        {ncp_reply(frag_reply(kLast, {}, 3))},              // F below 4
        {ncp_reply({0x05, 0x00, 0x00})},                    // shorter than a fragment head
    });
    Bufs small(1, 128);
    ASSERT_EQ(ncp_send_nds_frag(conn.get(), &small.req, &small.rep), 0);
    EXPECT_EQ(small.received(), Bytes(big.begin(), big.begin() + 128));
    Bufs b(1);
    ASSERT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 0);
    EXPECT_EQ(b.received(), (Bytes{1, 2, 3}));
    EXPECT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 1);
    EXPECT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 1);
    NCPCONN_disconnect(conn.get());
    EXPECT_EQ(peer.join().size(), 5u);
}

TEST(Fragments, RequestThatDidNotFitIsNotSent) {
    auto conn = new_connection();
    Peer peer;
    peer.start_pair(conn.get(), {});
    uint8_t rq[16];
    uint8_t rp[64];
    NWDSBuf req, rep;
    NWDSBufSetup(&req, rq, sizeof rq);
    NWDSBufSetup(&rep, rp, sizeof rp);
    NWDSBufInit(&req, 1);
    NWDSBufPutNWUNI(&req, "a name too long");
    EXPECT_EQ(ncp_send_nds_frag(conn.get(), &req, &rep), 1);
    NCPCONN_disconnect(conn.get());
    peer.join();
    EXPECT_EQ(peer.extra_bytes(), 0u);
}

TEST(Fragments, EndlessHandlesEventuallyFail) {
    auto conn = new_connection();
    std::vector<Step> steps(1100, Step{ncp_reply(frag_reply(0x77, {}))});
    Peer peer;
    peer.start_pair(conn.get(), steps);
    Bufs b(1);
    EXPECT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 1);
    NCPCONN_disconnect(conn.get());
    peer.join();
}

// The verb is named in the failure: the NDS error of its reply, or the
// transport failing in any of its fragments. One deadline covers the whole
// verb: three fragments of 0.6 s each fail a 1 s time-out in the second.
TEST(Fragments, FailuresNameTheVerbAndOneDeadlineCoversEveryFragment) {
    auto conn = new_connection();
    Peer peer;
    peer.start_pair(conn.get(), {{ncp_reply(frag_reply(kLast, le32(0xFFFFFDA7)))},
                                 {ncp_reply(frag_reply(0xA1, {0, 0, 0, 0}))},
                                 {ncp_reply(frag_reply(kLast, {1}), 0xFC)}});
    Bufs b(1);
    ASSERT_EQ(ncp_send_nds_frag(conn.get(), &b.req, &b.rep), 0);  // the verb checks the code itself
    EXPECT_EQ(conn->failure.kind, NCP_FAIL_NDS);
    EXPECT_EQ(conn->failure.code, -601);
    EXPECT_EQ(conn->failure.verb, 1u);
    Bufs read(3);
    EXPECT_EQ(ncp_send_nds_frag(conn.get(), &read.req, &read.rep), 1);
    EXPECT_EQ(conn->failure.kind, NCP_FAIL_COMPLETION);
    EXPECT_EQ(conn->failure.verb, 3u);
    NCPCONN_disconnect(conn.get());
    peer.join();

    auto slow = new_connection();
    Peer trickling;
    const Bytes part = {0, 0, 0, 0};
    trickling.start_pair(slow.get(), {{ncp_reply(frag_reply(0xA1, part)), 0, false, 20},
                                      {ncp_reply(frag_reply(0xA2, part)), 0, false, 20},
                                      {ncp_reply(frag_reply(kLast, part)), 0, false, 20}});
    slow->timeout = 1;
    Bufs c(3);
    EXPECT_EQ(ncp_send_nds_frag(slow.get(), &c.req, &c.rep), 1);
    EXPECT_EQ(slow->failure.kind, NCP_FAIL_TIMEOUT);
    EXPECT_EQ(slow->failure.verb, 3u);
    EXPECT_EQ(trickling.join().size(), 2u);
}

}  // namespace
