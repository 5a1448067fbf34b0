#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "nwcrypto/nwcrypto.h"
#include "peer.h"

namespace {

Step nds(const Bytes& payload) { return Step{ncp_reply(frag_reply(0xFFFFFFFF, payload))}; }

// A checked public-key record: "NN", "EN" and the "MA" chunk over the rest.
Bytes key_record(bool corrupt) {
    Bytes body = {'N', 'N', 32, 0};
    for (int i = 0; i < 32; ++i) body.push_back(static_cast<uint8_t>(0xC0 + i));
    body.insert(body.end(), {'E', 'N', 3, 0, 1, 0, 1});
    uint8_t check[8] = {};
    nwhash1(check, 8, body.data(), static_cast<int>(body.size()));
    if (corrupt) check[0] ^= 1;
    body.insert(body.end(), {'M', 'A', 8, 8});
    body.insert(body.end(), check, check + 8);
    body.insert(body.end(), 8, 0);
    Bytes rec = {1, 0, 0, 0, 3, 0, 1, 0, static_cast<uint8_t>(body.size()), 0};
    rec.insert(rec.end(), body.begin(), body.end());
    return rec;
}

// "Public Key" value: skip count 16 at offset 10, the record at 42.
Bytes public_key_value(const Bytes& rec) {
    Bytes v(42, 0xA5);
    v[10] = 16;
    v[11] = 0;
    return cat({v, rec});
}

std::vector<Step> server_script(const Bytes& dn_reply, const Bytes& key_value, uint32_t tree_len = 4) {
    Bytes read = cat({le32(0), le32(0xFFFFFFFF), le32(1), le32(1), le32(9), nwuni("Public Key"), le32(1),
                      le32(static_cast<uint32_t>(key_value.size())), key_value});
    read.resize((read.size() + 3) & ~size_t{3}, 0);
    return {{ncp_reply({}, 0, 0x0203)},
            {ncp_reply(cat({le32(0), le32(tree_len), Bytes(tree_len, 'T')}))},
            nds(dn_reply),
            nds(cat({le32(0), le32(0), le32(0x00C0FFEE)})),
            nds(read)};
}

struct SetupRun {
    std::unique_ptr<NcpConnection> conn = new_connection();
    Peer peer;
    int result;
    std::vector<Bytes> reqs;
    explicit SetupRun(std::vector<Step> steps) {
        sockaddr_in addr = peer.start_tcp(std::move(steps));
        result = NCPCONN_tcpconnect(conn.get(), &addr, 10);
        NCPCONN_disconnect(conn.get());
        reqs = peer.join();
    }
};

TEST(Setup, LearnsServerNameIdAndKey) {
    Bytes rec = key_record(false);
    auto conn = new_connection();
    Peer peer;
    sockaddr_in addr = peer.start_tcp(server_script(cat({le32(0), nwuni("CN=FS1.O=acme")}), public_key_value(rec)));
    ASSERT_EQ(NCPCONN_tcpconnect(conn.get(), &addr, 10), 0);
    EXPECT_EQ(conn->connected, 1);
    EXPECT_EQ(conn->sequence, 5);
    EXPECT_STREQ(conn->tree_name, "TTTT");
    EXPECT_STREQ(conn->server_dn, "CN=FS1.O=acme");
    EXPECT_EQ(conn->server_id, 0x00C0FFEEu);
    EXPECT_EQ(conn->server_key_len, rec.size() - 10);
    EXPECT_EQ(Bytes(conn->server_key, conn->server_key + rec.size()), rec);
    NCPCONN_disconnect(conn.get());
    auto reqs = peer.join();
    ASSERT_EQ(reqs.size(), 5u);
    for (size_t i = 0; i < reqs.size(); ++i) EXPECT_EQ(reqs[i][18], i);
    EXPECT_EQ(reqs[3][22 + 18], 1);  // resolve of the server's name
    Bytes dn = nwuni("CN=FS1.O=acme");
    EXPECT_NE(std::search(reqs[3].begin(), reqs[3].end(), dn.begin(), dn.end()), reqs[3].end());
}

TEST(Setup, FailuresLeaveTheConnectionOpen) {
    Bytes good_dn = cat({le32(0), nwuni("FS1")});
    Bytes bad = key_record(true);
    auto conn = new_connection();
    Peer peer;
    sockaddr_in addr = peer.start_tcp(server_script(good_dn, public_key_value(bad)));
    EXPECT_EQ(NCPCONN_tcpconnect(conn.get(), &addr, 10), 1);
    EXPECT_EQ(conn->connected, 1);
    EXPECT_GE(conn->sock, 0);
    // The raw attribute value stays in place.
    EXPECT_EQ(conn->server_key_len, public_key_value(bad).size());
    NCPCONN_disconnect(conn.get());
    peer.join();

    SetupRun refused(server_script(cat({le32(0xFFFFFDA7), nwuni("FS1")}), {}));
    EXPECT_EQ(refused.result, 1);
    EXPECT_EQ(refused.reqs.size(), 3u);
}

TEST(Setup, OversizedNamesAreCutOrRefused) {
    // A server name of 127 characters fits; 128 does not and is never resolved.
    std::string fits(127, 's');
    SetupRun ok(server_script(cat({le32(0), nwuni(fits.c_str())}), public_key_value(key_record(false)), 300));
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(std::string(ok.conn->server_dn), fits);
    EXPECT_EQ(std::string(ok.conn->tree_name), std::string(127, 'T'));

    std::string too_long(128, 's');
    SetupRun cut(server_script(cat({le32(0), nwuni(too_long.c_str())}), {}));
    EXPECT_EQ(cut.result, 1);
    EXPECT_EQ(cut.reqs.size(), 3u);
    // A tree name longer than what arrived copies only what arrived.
    Bytes dn = cat({le32(0), nwuni("FS1")});
    std::vector<Step> script = server_script(dn, public_key_value(key_record(false)));
    script[1] = Step{ncp_reply(cat({le32(0), le32(1000), {'a', 'b'}}))};
    SetupRun lying(script);
    EXPECT_EQ(lying.result, 0);
    EXPECT_STREQ(lying.conn->tree_name, "ab");
}

}  // namespace
