#include <gtest/gtest.h>

#include <string>

#include "peer.h"
#include "runtime/bytes.h"

namespace {

Step nds(const Bytes& payload) { return Step{ncp_reply(frag_reply(0xFFFFFFFF, payload))}; }

// The verb's own bytes: after the NCP heads and the 26-byte first fragment head.
Bytes verb_request(const Bytes& packet) { return Bytes(packet.begin() + 22 + 26, packet.end()); }

Bytes value(const Bytes& v) {
    Bytes out = cat({le32(static_cast<uint32_t>(v.size())), v});
    out.resize(rt::pad4(out.size()), 0);
    return out;
}

Bytes read_reply(uint32_t info, uint32_t attrs, uint32_t count, const Bytes& values, uint32_t completion = 0) {
    return cat({le32(completion), le32(0x55), le32(info), le32(attrs), le32(17), nwuni("Group Membership"),
                le32(count), values});
}

struct Session {
    std::unique_ptr<NcpConnection> conn = new_connection();
    Peer peer;
    explicit Session(std::vector<Step> steps) { peer.start_pair(conn.get(), std::move(steps)); }
    std::vector<Bytes> finish() {
        NCPCONN_disconnect(conn.get());
        return peer.join();
    }
};

TEST(Resolve, RequestBytesAndEntryId) {
    Session s({nds(cat({le32(0), le32(0xDEADBEEF), le32(0x01020304)})), nds(cat({le32(0xFFFFFDA7), le32(0), le32(5)})),
               nds(le32(0))});
    uint32_t id = 0;
    EXPECT_EQ(ncp_NDS_RESOLVE_NAME(s.conn.get(), "a", &id), 0);
    EXPECT_EQ(id, 0x01020304u);
    EXPECT_EQ(resolve(s.conn.get(), "a"), 0xFFFFFFFFu);  // non-zero completion code
    EXPECT_EQ(ncp_NDS_RESOLVE_NAME(s.conn.get(), "a", &id), 1);  // reply too short for the ID
    auto reqs = s.finish();
    ASSERT_EQ(reqs.size(), 3u);
    const Bytes expect = {0, 0, 0, 0, 0x62, 0x20, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0x61, 0, 0, 0,
                          1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0};
    EXPECT_EQ(verb_request(reqs[0]), expect);
    EXPECT_EQ(reqs[0][22 + 18], 1);  // verb 1
}

TEST(Resolve, LongNamesFailWithoutSending) {
    Session s({nds(cat({le32(0), le32(0), le32(9)}))});
    EXPECT_EQ(resolve(s.conn.get(), std::string(133, 'x').c_str()), 9u);
    EXPECT_EQ(resolve(s.conn.get(), std::string(134, 'x').c_str()), 0xFFFFFFFFu);
    EXPECT_EQ(resolve(s.conn.get(), std::string(5000, 'x').c_str()), 0xFFFFFFFFu);
    auto reqs = s.finish();
    EXPECT_EQ(reqs.size(), 1u);
    EXPECT_EQ(s.peer.extra_bytes(), 0u);
}

TEST(Resolve, NameAsUnitsBeyondOneByteAndBeyondTheBmp) {
    Session s({nds(cat({le32(0), le32(0), le32(0x0A0B0C0D)}))});
    // \u0141 (L with stroke), 'a', U+1F600 as the pair D83D DE00.
    const uint16_t name[] = {0x0141, 'a', 0xD83D, 0xDE00};
    uint32_t id = 0;
    EXPECT_EQ(ncp_NDS_RESOLVE_NAME(s.conn.get(), name, &id), 0);
    EXPECT_EQ(id, 0x0A0B0C0Du);
    // A zero unit inside, or one unit more than the request holds: not sent.
    const uint16_t inner_zero[] = {'a', 0, 'b'};
    EXPECT_EQ(resolve(s.conn.get(), inner_zero), 0xFFFFFFFFu);
    std::vector<uint16_t> long_name(RESOLVE_NAME_MAX_UNITS + 1, 0x0436);
    EXPECT_EQ(resolve(s.conn.get(), long_name), 0xFFFFFFFFu);
    auto reqs = s.finish();
    ASSERT_EQ(reqs.size(), 1u);
    const Bytes expect = {0, 0, 0, 0, 0x62, 0x20, 0, 0, 0, 0, 0, 0,
                          0x0A, 0, 0, 0, 0x41, 0x01, 0x61, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0, 0,
                          1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0};
    EXPECT_EQ(verb_request(reqs[0]), expect);
}

TEST(ReadAll, PacksValuesInPlace) {
    Session s({nds(read_reply(1, 1, 3, cat({value({1, 2, 3, 4, 5}), value(Bytes(8, 0x88)), value({6, 7})}))),
               nds(read_reply(1, 1, 0, {})), nds(read_reply(2, 1, 0, {})), nds(read_reply(1, 2, 0, {})),
               nds(read_reply(1, 1, 0, {}, 0xFFFFFDA7))});
    uint8_t buf[30000];
    size_t size = sizeof buf;
    uint32_t syntax = 0;
    ASSERT_EQ(ncp_NDS_READ(s.conn.get(), 0x4321, "Group Membership", &syntax, buf, &size), 0);
    EXPECT_EQ(syntax, 17u);
    EXPECT_EQ(size, 31u);
    EXPECT_EQ(Bytes(buf, buf + 31), cat({le32(3), le32(5), {1, 2, 3, 4, 5}, le32(8), Bytes(8, 0x88), le32(2), {6, 7}}));
    size = sizeof buf;
    EXPECT_EQ(ncp_NDS_READ(s.conn.get(), 1, "x", nullptr, buf, &size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), le32(0));
    for (int i = 0; i < 3; ++i) {
        size = sizeof buf;
        EXPECT_EQ(ncp_NDS_READ(s.conn.get(), 1, "x", nullptr, buf, &size), -1) << i;
    }
    auto reqs = s.finish();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(verb_request(reqs[0]), cat({le32(0), le32(0xFFFFFFFF), le32(0x4321), le32(1), le32(0), le32(1),
                                          nwuni("Group Membership")}));
    EXPECT_EQ(Bytes(reqs[0].begin() + 22 + 22, reqs[0].begin() + 22 + 26), le32(30000));  // reply size told
}

TEST(ReadAll, StopsAtCapacityAndNeverCopiesFromOutsideTheReply) {
    // The server ignores the size it was told: the reply is cut at the
    // buffer's end. The second value does not fit the list: count 1, success.
    Bytes reply = read_reply(1, 1, 2, cat({value({1, 2, 3, 4}), le32(200), Bytes(200, 0x22)}));
    // A value that would fit the list but whose bytes never arrived fails.
    Bytes short_reply = read_reply(1, 1, 1, le32(40));
    Session s({nds(reply), nds(short_reply)});
    uint8_t buf[84];  // room for the head and the first value, and the second value's length word
    size_t size = sizeof buf;
    ASSERT_EQ(ncp_NDS_READ(s.conn.get(), 1, "Group Membership", nullptr, buf, &size), 0);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(Bytes(buf, buf + 12), cat({le32(1), le32(4), {1, 2, 3, 4}}));
    uint8_t big[512];
    size = sizeof big;
    EXPECT_EQ(ncp_NDS_READ(s.conn.get(), 1, "Group Membership", nullptr, big, &size), -1);
    s.finish();
}

TEST(ReadOne, FirstValueOnlyAndBounds) {
    Bytes key(300, 0x3C);
    Session s({nds(read_reply(1, 1, 2, cat({value(key), value({9})}))), nds(read_reply(1, 1, 0, {})),
               nds(read_reply(0, 1, 1, value({1}))), nds(read_reply(1, 1, 1, le32(700)))});
    uint8_t dest[768] = {};
    uint32_t len = 0;
    uint32_t syntax = 0;
    ASSERT_EQ(ncp_NDS_READ1(s.conn.get(), 7, "Public Key", &syntax, dest, &len), 0);
    EXPECT_EQ(len, 300u);
    EXPECT_EQ(syntax, 17u);
    EXPECT_EQ(Bytes(dest, dest + 300), key);
    EXPECT_EQ(dest[300], 0);
    EXPECT_EQ(ncp_NDS_READ1(s.conn.get(), 7, "Public Key", nullptr, dest, &len), 1);  // no values
    EXPECT_EQ(ncp_NDS_READ1(s.conn.get(), 7, "Public Key", nullptr, dest, &len), 1);  // info type 0
    EXPECT_EQ(ncp_NDS_READ1(s.conn.get(), 7, "Public Key", nullptr, dest, &len), 1);  // value past the reply
    EXPECT_EQ(ncp_NDS_READ1(s.conn.get(), 7, std::string(114, 'k').c_str(), nullptr, dest, &len), 1);
    EXPECT_EQ(s.finish().size(), 4u);
}

TEST(PlainRequests, ChangeStateAndPing) {
    auto ping = [](uint32_t n) { return Step{ncp_reply(cat({le32(0), le32(n), Bytes(n, 'T')}))}; };
    Session s({Step{ncp_reply({})}, ping(0), ping(65), ping(1), ping(64), Step{ncp_reply({})}});
    EXPECT_EQ(ncp_change_connection_state(s.conn.get(), 0x101), 0);
    EXPECT_EQ(NCPCONN_ndsping(s.conn.get()), 1);
    EXPECT_EQ(NCPCONN_ndsping(s.conn.get()), 1);
    EXPECT_EQ(NCPCONN_ndsping(s.conn.get()), 0);
    EXPECT_EQ(NCPCONN_ndsping(s.conn.get()), 0);
    // The 64-byte name left 8 bytes beyond the ping's 64: the stream is still in step.
    EXPECT_EQ(ncp_change_connection_state(s.conn.get(), 1), 0);
    auto reqs = s.finish();
    ASSERT_EQ(reqs.size(), 6u);
    EXPECT_EQ(Bytes(reqs[0].begin() + 16, reqs[0].end()), (Bytes{0x22, 0x22, 0x00, 0xFF, 0x01, 0xFF, 0x17, 0x00, 0x02, 0x1D, 0x01}));
    EXPECT_EQ(Bytes(reqs[1].begin() + 22, reqs[1].end()), (Bytes{0x68, 0x01, 0x00, 0x00, 0x00}));
}

}  // namespace
