// Protocol checks against the running server with the tests' own raw client.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "nwcrypto/nwcrypto.h"
#include "raw_client.h"
#include "runtime/bytes.h"
#include "server_process.h"

namespace {

constexpr uint32_t kNoSuchEntry = 0xFFFFFDA7;

std::vector<uint8_t> hex(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

struct Chunk {
    std::string tag;
    std::vector<uint8_t> data;
};

// Splits a key-record body into chunks; the data length is the sum of the two length bytes.
bool chunks_of(std::span<const uint8_t> body, std::vector<Chunk>& out) {
    size_t at = 0;
    while (at < body.size()) {
        if (at + 4 > body.size()) return false;
        const size_t len = size_t{body[at + 2]} + body[at + 3];
        if (at + 4 + len > body.size()) return false;
        out.push_back(Chunk{std::string(body.begin() + at, body.begin() + at + 2),
                            std::vector<uint8_t>(body.begin() + at + 4, body.begin() + at + 4 + len)});
        at += 4 + len;
    }
    return true;
}

int bits_of(const std::vector<uint8_t>& le) {
    for (size_t i = le.size(); i-- > 0;) {
        if (le[i] != 0) return static_cast<int>(8 * i) + (32 - __builtin_clz(le[i]));
    }
    return 0;
}

// Checks a "Public Key" value as a client reads it and returns the modulus bits.
int check_public_key_value(const std::vector<uint8_t>& v) {
    EXPECT_GE(v.size(), 36u);
    if (v.size() < 36) return 0;
    const size_t p = 26 + rt::load_le16(v.data() + 10);
    EXPECT_LE(p + 10, v.size());
    if (p + 10 > v.size()) return 0;
    EXPECT_EQ(std::vector<uint8_t>(v.begin() + p, v.begin() + p + 8), hex({1, 0, 0, 0, 3, 0, 1, 0}));
    const size_t len = rt::load_le16(v.data() + p + 8);
    EXPECT_EQ(p + 10 + len, v.size());
    if (p + 10 + len > v.size() || len < 20) return 0;
    const std::span<const uint8_t> body(v.data() + p + 10, len);
    std::vector<Chunk> chunks;
    EXPECT_TRUE(chunks_of(body, chunks));
    EXPECT_EQ(chunks.size(), 3u);
    if (chunks.size() != 3) return 0;
    EXPECT_EQ(chunks[0].tag, "NN");
    EXPECT_EQ(chunks[1].tag, "EN");
    EXPECT_EQ(chunks[1].data, hex({1, 0, 1}));
    EXPECT_EQ(chunks[2].tag, "MA");  // the last 20 bytes
    EXPECT_EQ(chunks[2].data.size(), 16u);
    uint8_t check[8] = {};
    nwhash1(check, 8, body.data(), static_cast<int>(len - 20));
    EXPECT_EQ(0, std::memcmp(check, chunks[2].data.data(), 8));
    return bits_of(chunks[0].data);
}

bool any_line_has(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& l : lines) {
        if (l.find(text) != std::string::npos) return true;
    }
    return false;
}

class Protocol : public ::testing::Test {
protected:
    void start(bool anyone, const std::vector<std::string>& options = {}) {
        server_ = std::make_unique<ServerProcess>(standard_directory(anyone), options);
        ASSERT_NE(server_->port(), 0);
        ASSERT_TRUE(client_.connect(server_->port()));
    }
    void connect_more(RawClient& c) { ASSERT_TRUE(c.connect(server_->port())); }
    std::vector<std::string> deviations() const { return server_->lines("DEVIATION"); }

    std::unique_ptr<ServerProcess> server_;
    RawClient client_;
};

TEST_F(Protocol, CreateConnectionAndPingAsAClientSendsThem) {
    start(false);
    // The create request byte for byte: no reply data, a connection number
    // with both bytes set, the sequence number echoed.
    ASSERT_TRUE(client_.send_bytes(hex({0x44, 0x6D, 0x64, 0x54, 0, 0, 0, 0x17, 0, 0, 0, 1, 0, 0, 0, 0,
                                         0x11, 0x11, 0x00, 0xFF, 0x01, 0xFF, 0x00})));
    NcpReply r;
    ASSERT_TRUE(client_.read_reply(r));
    EXPECT_EQ(r.completion, 0);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.seq, 0);
    EXPECT_NE(r.conn & 0xFF, 0);
    EXPECT_NE(r.conn >> 8, 0);

    // A second client gets another number; both are served side by side.
    RawClient other;
    connect_more(other);
    ASSERT_TRUE(other.create());
    EXPECT_NE(other.conn(), r.conn);

    client_.seq = 1;
    client_.set_conn(r.conn);
    const uint8_t ping[] = {0x68, 0x01, 0x00, 0x00, 0x00};
    ASSERT_TRUE(client_.call(0x2222, ping, r));
    ASSERT_EQ(r.data.size(), 8u + 9u);
    EXPECT_EQ(le32_at(r.data, 4), 9u);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.end()), "ACME_TREE");

    ASSERT_TRUE(other.call(0x2222, ping, r));
    EXPECT_EQ(r.completion, 0);
    EXPECT_TRUE(deviations().empty()) << server_->log();
    EXPECT_EQ(server_->stop(), 0);
}

TEST_F(Protocol, PingNameLengthOptions) {
    const std::string tree64(64, 'T');
    for (const auto& [opts, length] : std::vector<std::pair<std::vector<std::string>, uint32_t>>{
             {{"--tree-name", tree64}, 64u}, {{"--bad-ping"}, 0u}, {{"--bad-ping-length", "65"}, 65u}}) {
        server_ = std::make_unique<ServerProcess>(standard_directory(false), opts);
        RawClient c;
        ASSERT_TRUE(c.connect(server_->port()));
        ASSERT_TRUE(c.create());
        NcpReply r;
        const uint8_t ping[] = {0x68, 0x01, 0x00, 0x00, 0x00};
        ASSERT_TRUE(c.call(0x2222, ping, r));
        EXPECT_EQ(le32_at(r.data, 4), length);
    }
}

TEST_F(Protocol, ResolveAcceptsTheFormsADirectoryAccepts) {
    start(false);
    ASSERT_TRUE(client_.create());
    // The helper's request for "a", byte for byte: an unknown name.
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client_.nds(1, hex({0, 0, 0, 0, 0x62, 0x20, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0x61, 0, 0, 0,
                                    1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0}),
                            128, reply));
    EXPECT_EQ(le32_at(reply, 0), kNoSuchEntry);
    // Clients skip the padding after a string without writing it: any bytes there are fine.
    NdsReq padded;
    padded.u32(0).u32(0x2062).u32(0).text("WREN1.acme").u32(1).u32(9).u32(1).u32(9);
    padded.b[12 + 4 + 22] = 0xCC;
    padded.b[12 + 4 + 23] = 0xDD;
    ASSERT_TRUE(client_.nds(1, padded.b, 128, reply));
    EXPECT_EQ(le32_at(reply, 0), 0u);

    uint32_t alice = 0, id = 0;
    ASSERT_EQ(resolve_code(client_, "CN=alice.OU=sales.O=acme", &alice), 0u);
    for (const char* form : {"alice.sales.acme", ".alice.sales.acme", "ALICE.Sales.acme", "cn=Alice.ou=SALES.o=acme",
                             "CN=alice.sales.O=acme"}) {
        ASSERT_EQ(resolve_code(client_, form, &id), 0u) << form;
        EXPECT_EQ(id, alice) << form;
    }
    for (const char* unknown : {"alice.acme", "alice.sales", "OU=alice.OU=sales.O=acme", "bob.sales.acme", "alice..acme"}) {
        EXPECT_EQ(resolve_code(client_, unknown, nullptr), kNoSuchEntry) << unknown;
    }
    // A blank and an ISO 8859-1 letter, in either case; groups are entries too.
    uint32_t ann = 0;
    ASSERT_EQ(resolve_code(client_, "ann m\xFCller.sales.acme", &ann), 0u);
    ASSERT_EQ(resolve_code(client_, "CN=ANN M\xDCLLER.OU=sales.O=acme", &id), 0u);
    EXPECT_EQ(id, ann);
    EXPECT_NE(ann, alice);
    EXPECT_EQ(resolve_code(client_, "staff.sales.acme", &id), 0u);
    EXPECT_EQ(resolve_code(client_, "CN=all.O=acme", &id), 0u);

    // Verb 53 exactly as the helper sends it: the server's typed name, which resolves.
    NcpReply r;
    ASSERT_TRUE(client_.call(0x2222, hex({0x68, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xF4, 0x0F, 0, 0, 0x0C, 0, 0, 0,
                                          0, 0, 0, 0, 0x35, 0, 0, 0, 0, 4, 0, 0}), r));
    ASSERT_GE(r.data.size(), 16u);
    EXPECT_EQ(le32_at(r.data, 4), 0xFFFFFFFFu);
    const std::vector<uint8_t> nds(r.data.begin() + 8, r.data.end());
    EXPECT_EQ(le32_at(nds, 0), 0u);
    const uint32_t len = le32_at(nds, 4);
    ASSERT_EQ(nds.size(), 8 + rt::pad4(len));
    const std::string server = units_text(std::vector<uint8_t>(nds.begin() + 8, nds.begin() + 8 + len));
    EXPECT_EQ(server, "CN=WREN1.O=acme");
    EXPECT_EQ(resolve_code(client_, server, &id), 0u);
    EXPECT_TRUE(deviations().empty()) << server_->log();
}

TEST_F(Protocol, GroupMembershipValuesAndThePolicyForAnonymousReaders) {
    start(true);
    ASSERT_TRUE(client_.create());
    uint32_t alice = 0, ann = 0;
    ASSERT_EQ(resolve_code(client_, "alice.sales.acme", &alice), 0u);
    ASSERT_EQ(resolve_code(client_, "CN=Ann M\xFCller.OU=sales.O=acme", &ann), 0u);
    std::vector<std::vector<uint8_t>> values;
    ASSERT_EQ(read_values(client_, alice, "Group Membership", 30000, values), 0u);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(units_text(values[0]), "CN=staff.OU=sales.O=acme");
    EXPECT_EQ(units_text(values[1]), "CN=all.O=acme");
    ASSERT_EQ(read_values(client_, ann, "Group Membership", 30000, values), 0u);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(units_text(values[0]), "CN=all.O=acme");
    EXPECT_NE(read_values(client_, alice, "Telephone Number", 30000, values), 0u);
    EXPECT_EQ(read_values(client_, 0x12345678, "Group Membership", 30000, values), kNoSuchEntry);
    EXPECT_TRUE(deviations().empty()) << server_->log();

    // The same read on a server whose directory allows it only after a login.
    start(false);
    ASSERT_TRUE(client_.create());
    ASSERT_EQ(resolve_code(client_, "alice.sales.acme", &alice), 0u);
    EXPECT_NE(read_values(client_, alice, "Group Membership", 30000, values), 0u);
    EXPECT_EQ(server_->lines("NO-ACCESS").size(), 1u);
}

TEST_F(Protocol, PublicKeysAreWrappedCheckedRecords) {
    start(false, {"--user-key-bits", "1264"});
    ASSERT_TRUE(client_.create());
    uint32_t id = 0;
    std::vector<std::vector<uint8_t>> values;
    ASSERT_EQ(resolve_code(client_, "WREN1.acme", &id), 0u);
    ASSERT_EQ(read_values(client_, id, "Public Key", 768, values), 0u);
    ASSERT_EQ(values.size(), 1u);
    const int server_bits = check_public_key_value(values[0]);
    EXPECT_GE(server_bits, 417);  // holds a 416-bit block
    EXPECT_LE(server_bits, 448);  // the result fits 56 bytes
    ASSERT_EQ(resolve_code(client_, "search.acme", &id), 0u);
    ASSERT_EQ(read_values(client_, id, "Public Key", 768, values), 0u);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(check_public_key_value(values[0]), 1264);
    ASSERT_EQ(resolve_code(client_, "staff.sales.acme", &id), 0u);
    EXPECT_NE(read_values(client_, id, "Public Key", 768, values), 0u);  // groups have none
}

TEST_F(Protocol, SmallReplyFragmentsAndLargeRequestFragments) {
    start(true, {"--fragment-size", "16"});
    ASSERT_TRUE(client_.create());
    uint32_t alice = 0;
    ASSERT_EQ(resolve_code(client_, "alice.sales.acme", &alice), 0u);
    NdsReq q;
    q.u32(0).u32(0xFFFFFFFF).u32(alice).u32(1).u32(0).u32(1).text("Group Membership");
    std::vector<uint8_t> reply;
    int fragments = 0;
    ASSERT_TRUE(client_.nds(3, q.b, 30000, reply, &fragments));
    EXPECT_EQ(fragments, static_cast<int>((reply.size() + 15) / 16));
    EXPECT_GT(fragments, 5);
    std::vector<std::vector<uint8_t>> values;
    ASSERT_EQ(read_values(client_, alice, "Group Membership", 30000, values), 0u);
    EXPECT_EQ(values.size(), 2u);

    // A request of more than one fragment: 4070 bytes go first, the rest follows
    // under the handle the server gave.
    const std::string long_name(2480, 'x');
    NdsReq big;
    big.u32(0).u32(0x2062).u32(0).text(long_name).u32(1).u32(9).u32(1).u32(9);
    ASSERT_GT(big.b.size(), 4070u);
    ASSERT_TRUE(client_.nds(1, big.b, 128, reply, &fragments));
    EXPECT_EQ(fragments, 2);
    EXPECT_EQ(le32_at(reply, 0), kNoSuchEntry);
    EXPECT_TRUE(deviations().empty()) << server_->log();
}

TEST_F(Protocol, DeviationsAreLoggedOneLineEach) {
    start(true);
    ASSERT_TRUE(client_.create());
    uint32_t id = 0;
    // Wrong flags and a wrong reply buffer size in one resolve.
    NdsReq q;
    q.u32(0).u32(0x2063).u32(0).text("alice.sales.acme").u32(1).u32(9).u32(1).u32(9);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client_.nds(1, q.b, 256, reply));
    EXPECT_EQ(le32_at(reply, 0), 0u);
    // A skipped sequence number.
    client_.seq += 1;
    EXPECT_EQ(resolve_code(client_, "alice.sales.acme", &id), 0u);
    // A string that is not ended by a zero unit fails the verb.
    NdsReq bad;
    bad.u32(0).u32(0x2062).u32(0).bytes(hex({0x61, 0})).u32(1).u32(9).u32(1).u32(9);
    ASSERT_TRUE(client_.nds(1, bad.b, 128, reply));
    EXPECT_NE(le32_at(reply, 0), 0u);
    const auto lines = deviations();
    ASSERT_EQ(lines.size(), 4u) << server_->log();
    EXPECT_TRUE(any_line_has(lines, "0x2063"));
    EXPECT_TRUE(any_line_has(lines, "reply buffer size 256"));
    EXPECT_NE(lines[2].find("sequence number 3, expected 2"), std::string::npos);
    EXPECT_NE(lines[3].find("zero unit"), std::string::npos);

    // A bad signature: logged, and the connection is closed.
    RawClient other;
    connect_more(other);
    ASSERT_TRUE(other.send_bytes(hex({'D', 'm', 'd', 'X', 0, 0, 0, 0x17, 0, 0, 0, 1, 0, 0, 0, 0,
                                      0x11, 0x11, 0, 0xFF, 1, 0xFF, 0})));
    NcpReply r;
    EXPECT_FALSE(other.read_reply(r));
    EXPECT_EQ(server_->stop(), 0);
    const auto after = server_->lines("DEVIATION");
    ASSERT_EQ(after.size(), 5u);
    EXPECT_NE(after[4].find("DmdT"), std::string::npos);
}

TEST_F(Protocol, FaultInjection) {
    start(true, {"--drop-after", "2", "--fail-verb", "1:-602"});
    ASSERT_TRUE(client_.create());
    EXPECT_EQ(resolve_code(client_, "alice.sales.acme", nullptr), 0xFFFFFDA6u);
    NcpReply r;
    const uint8_t ping[] = {0x68, 0x01, 0x00, 0x00, 0x00};
    EXPECT_FALSE(client_.call(0x2222, ping, r));  // the third request: closed
    // Every connection gets its two requests.
    RawClient again;
    connect_more(again);
    ASSERT_TRUE(again.create());
    ASSERT_TRUE(again.call(0x2222, ping, r));
    EXPECT_FALSE(again.call(0x2222, ping, r));

    start(true, {"--drop-after", "1", "--fault-once"});
    ASSERT_TRUE(client_.create());
    EXPECT_FALSE(client_.call(0x2222, ping, r));
    RawClient third;
    connect_more(third);
    ASSERT_TRUE(third.create());
    EXPECT_TRUE(third.call(0x2222, ping, r));
    EXPECT_TRUE(third.call(0x2222, ping, r));

    // A dropped verb closes the connection; a refused state change is 0xFF.
    start(true, {"--drop-verb", "1", "--refuse-state-change"});
    ASSERT_TRUE(client_.create());
    const uint8_t state[] = {0x17, 0x00, 0x02, 0x1D, 0x01};
    ASSERT_TRUE(client_.call(0x2222, state, r));
    EXPECT_EQ(r.completion, 0xFF);
    EXPECT_EQ(resolve_code(client_, "alice.sales.acme", nullptr), 0xDEADBEEFu);
    EXPECT_FALSE(client_.call(0x2222, ping, r));

    // One name's resolve refused, whatever the letter case it is asked in.
    start(true, {"--fail-resolve", "Alice.sales.acme:-626"});
    ASSERT_TRUE(client_.create());
    EXPECT_EQ(resolve_code(client_, "alice.SALES.acme", nullptr), 0xFFFFFD8Eu);
    EXPECT_EQ(resolve_code(client_, "CN=alice.OU=sales.O=acme", nullptr), 0u);
}

// Replies held back, sent a byte at a time, or never sent from the first
// request on: the reply is the same, only its arrival differs.
TEST_F(Protocol, SlowAndSilentReplies) {
    const uint8_t create[] = {'D', 'm', 'd', 'T', 0, 0, 0, 23, 0, 0, 0, 1, 0, 0, 0, 0, 0x11, 0x11, 0, 0xFF, 1, 0xFF, 0};
    const auto readable_now = [&] {
        pollfd p{client_.fd(), POLLIN, 0};
        return poll(&p, 1, 100) == 1;
    };
    uint8_t byte[64];
    start(true, {"--trickle", "5"});
    ASSERT_TRUE(client_.send_bytes(create));
    EXPECT_EQ(recv(client_.fd(), byte, sizeof byte, 0), 1);  // the first byte alone
    NcpReply r;
    const uint8_t ping[] = {0x68, 0x01, 0x00, 0x00, 0x00};
    start(true, {"--trickle", "1"});
    ASSERT_TRUE(client_.create());
    ASSERT_TRUE(client_.call(0x2222, ping, r));
    EXPECT_EQ(r.completion, 0);
    EXPECT_EQ(le32_at(r.data, 4), 9u);  // "ACME_TREE"

    start(true, {"--reply-delay", "30"});
    ASSERT_TRUE(client_.create());
    ASSERT_TRUE(client_.call(0x2222, ping, r));
    EXPECT_EQ(le32_at(r.data, 4), 9u);
    start(true, {"--reply-delay", "60000"});
    ASSERT_TRUE(client_.send_bytes(create));
    EXPECT_FALSE(readable_now());

    start(true, {"--hang-after", "0"});
    ASSERT_TRUE(client_.send_bytes(create));
    EXPECT_FALSE(readable_now());
    EXPECT_TRUE(server_->lines("DEVIATION").empty());
}

}  // namespace

namespace {

// Every verb, cut short at every length up to a full request, and with
// hostile length words: a clean failure each time, and the server keeps serving.
TEST_F(Protocol, ShortAndHostileRequestsFailCleanly) {
    start(true);
    ASSERT_TRUE(client_.create());
    uint32_t alice = 0;
    ASSERT_EQ(resolve_code(client_, "alice.sales.acme", &alice), 0u);
    NdsReq resolve, read, huge;
    resolve.u32(0).u32(0x2062).u32(0).text("alice.sales.acme").u32(1).u32(9).u32(1).u32(9);
    read.u32(0).u32(0xFFFFFFFF).u32(alice).u32(1).u32(0).u32(1).text("Group Membership");
    huge.u32(0).u32(0x2062).u32(0).u32(0xFFFFFFF0).u32(0x61);
    std::vector<uint8_t> reply;
    for (const auto& [verb, full] : std::vector<std::pair<uint32_t, std::vector<uint8_t>>>{
             {1, resolve.b}, {3, read.b}, {57, std::vector<uint8_t>(8, 0)}, {58, std::vector<uint8_t>(16, 0xFF)},
             {59, std::vector<uint8_t>(12, 0)}, {60, std::vector<uint8_t>(16, 0xFF)}}) {
        for (size_t n = 0; n < full.size(); ++n) {
            const uint32_t size = verb == 1 ? 128 : verb == 3 ? 30000 : 1024;
            ASSERT_TRUE(client_.nds(verb, std::span<const uint8_t>(full).first(n), size, reply)) << verb << " " << n;
            EXPECT_NE(le32_at(reply, 0), 0u) << verb << " " << n;
        }
    }
    ASSERT_TRUE(client_.nds(1, huge.b, 128, reply));
    EXPECT_NE(le32_at(reply, 0), 0u);
    // A fragment head cut short, and a continuation under a handle never given.
    NcpReply r;
    ASSERT_TRUE(client_.call(0x2222, hex({0x68, 0x02, 0xFF, 0xFF}), r));
    EXPECT_NE(r.completion, 0);
    ASSERT_TRUE(client_.call(0x2222, hex({0x68, 0x02, 1, 2, 3, 4}), r));
    EXPECT_NE(r.completion, 0);
    EXPECT_EQ(resolve_code(client_, "alice.sales.acme", nullptr), 0u);
    EXPECT_EQ(server_->stop(), 0);
}

}  // namespace
