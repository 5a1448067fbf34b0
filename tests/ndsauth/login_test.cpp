// The login and the authentication of the real client against the test
// directory server running in this process. What the server received is
// opened again here with OpenSSL: the RSA block with the server's private
// key, the envelopes with OpenSSL's RC2, the proof with BIGNUM.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "ndsauth/ndsauth.h"
#include "oracle.h"
#include "scripted_random.h"
#include "directory_server.h"
#include "testserver/keyblob.h"

namespace {

const std::string kLongName(127, 'n');
const std::string kLongPassword(127, 'p');

std::string directory(const std::vector<std::string>& extra_users = {}) {
    std::string d = "tree T\nserver CN=srv.O=acme\n"
                    "user CN=admin.O=acme\npassword Secret-Pw1\n"
                    "user CN=x\npassword \"\"\n"
                    "user CN=" + kLongName + "\npassword " + kLongPassword + "\n";
    for (const std::string& u : extra_users) d += "user CN=" + u + "\npassword Secret-Pw1\n";
    return d;
}

// A key of the server's world as the oracle takes it.
RsaKey oracle_key(const ts::RsaKey& k) {
    RsaKey o;
    o.bits = BN_num_bits(k.n.get());
    o.n = ts::bn_to_le(k.n.get());
    o.e = ts::bn_to_le(k.e.get());
    o.d = ts::bn_to_le(k.d.get());
    return o;
}

std::string units(const uint16_t* u) {
    std::string s;
    for (size_t i = 0; i < 128 && u[i] != 0; ++i) s.push_back(static_cast<char>(u[i]));
    return s;
}

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// The server in this process and one connection to it, set up by the
// client's own code (the server's key read and checked). Exchanges of the
// set-up are forgotten; the rest are recorded.
class Directory {
public:
    explicit Directory(int user_bits = 512, bool q_above_p = false, const std::vector<std::string>& users = {})
        : server(directory(users), [&](ts::Options& o) {
              o.user_key_bits = user_bits;
              o.q_above_p = q_above_p;
              o.record = true;
          }) {
        NCPCONN_init(&conn);
        const sockaddr_in a = server.address();
        EXPECT_TRUE(server.ok());
        EXPECT_EQ(NCPCONN_tcpconnect(&conn, &a, 10), 0) << "set-up failed";
        server.set([](ts::Options&) {});
    }
    ~Directory() {
        NCPCONN_disconnect(&conn);
        EXPECT_EQ(server.deviations(), std::vector<std::string>{});
    }
    template <class F>
    void set(F f) { server.set(f); }
    std::vector<ts::Exchange> exchanges() { return server.exchanges(); }
    // The first exchange of the verb, or nothing.
    std::optional<ts::Exchange> exchange(uint32_t verb) {
        for (const ts::Exchange& e : exchanges())
            if (e.verb == verb) return e;
        return std::nullopt;
    }
    size_t logged(const std::string& prefix) const { return server.lines(prefix).size(); }
    const ts::UserKeys& user(const std::string& dn) const { return *server.user(dn); }

    DirectoryServer server;
    NcpConnection conn;
};

TEST(Login, WellFormedReplyYieldsThePrivateKey) {
    Directory dir;
    reset_random();
    // Lower-case letters are hashed as upper case; other bytes unchanged.
    ASSERT_EQ(do_login(&dir.conn, ".admin.acme", "secret-pW1"), 0);
    EXPECT_EQ(dir.logged("LOGIN conn"), 1u);

    const ts::UserKeys& admin = dir.user("CN=admin.O=acme");
    EXPECT_EQ(units(dir.conn.user_name), "admin.acme");
    EXPECT_EQ(dir.conn.user_id, admin.id);
    const auto finish = dir.exchange(58);
    ASSERT_TRUE(finish);
    EXPECT_EQ(Bytes(dir.conn.login_info, dir.conn.login_info + 8), Bytes(finish->reply.begin() + 4, finish->reply.begin() + 12));
    EXPECT_EQ(Bytes(dir.conn.private_key, dir.conn.private_key + dir.conn.private_key_len),
              ts::key_record(admin.private_body));

    // The verb-58 request: 16 bytes of fields and the 1172-byte sealed form,
    // whose RSA block opens with the server's private key and gives the
    // secret of the inner request: nonce, 1024, pad, 28 and the proof.
    ASSERT_EQ(finish->request.size(), 1188u);
    EXPECT_EQ(get32(finish->request, 12), 1172u);
    const std::span<const uint8_t> sealed = std::span(finish->request).subspan(16);
    const RsaKey server = oracle_key(dir.server.world().server_key);
    const Bytes block = le_of(bn_modexp(bn_le(sealed.subspan(28, 56)).get(), bn_le(server.d).get(),
                                        bn_le(server.n).get()).get(), 56);
    const auto inner = oracle_open(std::span(block).subspan(1, 28), sealed.subspan(88));
    ASSERT_TRUE(inner.has_value());
    ASSERT_EQ(inner->size(), 1064u);
    EXPECT_EQ(get32(*inner, 4), 1024u);
    EXPECT_EQ(get32(*inner, 1032), 28u);

    const std::vector<ts::Exchange> seen = dir.exchanges();
    ASSERT_EQ(seen.size(), 4u);  // resolve, login start and completion, the user's public key
    EXPECT_EQ(seen[0].verb, 1u);
    EXPECT_EQ(seen[3].verb, 3u);
    Bytes start = {0, 0, 0, 0};
    put32(start, admin.id);
    EXPECT_EQ(seen[1].request, start);
    EXPECT_EQ(random_drawn(), 4u + 1024u + 28u + 5u);
}

TEST(Login, NamePasswordAndDotHandling) {
    Directory dir;
    EXPECT_EQ(do_login(&dir.conn, "..x", ""), 0) << "empty password";
    const auto resolve = dir.exchange(1);
    ASSERT_TRUE(resolve);
    EXPECT_EQ(Bytes(resolve->request.begin() + 16, resolve->request.begin() + 20), (Bytes{'.', 0, 'x', 0}))
        << "only one leading dot is dropped";

    // The longest password and name that fit their buffers work.
    EXPECT_EQ(do_login(&dir.conn, kLongName.c_str(), kLongPassword.c_str()), 0);
    EXPECT_EQ(units(dir.conn.user_name), kLongName);

    // One more fails before anything is sent.
    dir.set([](ts::Options&) {});
    EXPECT_EQ(do_login(&dir.conn, "admin.acme", (kLongPassword + "p").c_str()), 1);
    EXPECT_EQ(do_login(&dir.conn, (kLongName + "n").c_str(), "pw"), 1);
    EXPECT_TRUE(dir.exchanges().empty());
}

TEST(Login, RefusalsAndFailedExchangesFail) {
    struct Case {
        const char* what;
        const char* user;
        const char* password;
        void (*set)(ts::Options&);
        size_t exchanges;
    };
    const Case cases[] = {
        {"name does not resolve", "nobody.acme", "secret-pw1", [](ts::Options&) {}, 1},
        {"login start refused", "admin.acme", "secret-pw1", [](ts::Options& o) { o.fail_verb[57] = 0xFFFFFDA7; }, 2},
        {"login completion refused", "admin.acme", "secret-pw1", [](ts::Options& o) { o.fail_verb[58] = 0xFFFFFDA7; }, 3},
        {"login completion exchange fails", "admin.acme", "secret-pw1", [](ts::Options& o) { o.edit_verb[58].drop = true; }, 3},
        {"wrong password", "admin.acme", "other", [](ts::Options&) {}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Directory dir;
        dir.set(c.set);
        std::memset(dir.conn.private_key, 0x5A, sizeof dir.conn.private_key);  // from an earlier login
        dir.conn.private_key_len = 99;
        EXPECT_EQ(do_login(&dir.conn, c.user, c.password), 1);
        EXPECT_EQ(dir.exchanges().size(), c.exchanges);
        EXPECT_EQ(dir.conn.private_key_len, 0u);
        EXPECT_TRUE(all_zero(dir.conn.private_key, sizeof dir.conn.private_key));
    }
}

// Names beyond ISO 8859-1 go as units: \u0141ukasz (U+0141), asked for in
// other letter case (\u0142 is U+0142), and U+20BB7 (the pair D842 DFB7);
// the same name in two containers gives two entries.
TEST(Login, UserNamesAsUnitsBeyondIsoLatin1) {
    Directory dir(512, false, {"\xC5\x81ukasz.OU=sales.O=acme", "\xF0\xA0\xAE\xB7.OU=ops.O=acme",
                               "alice.OU=sales.O=acme", "alice.OU=ops.O=acme"});
    const std::vector<uint16_t> lukasz = {0x0142, 'U', 'K', 'A', 'S', 'Z', '.', 's', 'a', 'l', 'e', 's', '.', 'a', 'c', 'm', 'e'};
    ASSERT_EQ(do_login(&dir.conn, lukasz, "secret-pw1"), 0);
    ASSERT_EQ(do_auth(&dir.conn), 0);
    EXPECT_EQ(dir.logged("AUTHENTICATED"), 1u);
    EXPECT_EQ(dir.conn.user_id, dir.user("CN=\xC5\x81ukasz.OU=sales.O=acme").id);
    EXPECT_EQ(std::vector<uint16_t>(dir.conn.user_name, dir.conn.user_name + lukasz.size() + 1),
              [&] { auto u = lukasz; u.push_back(0); return u; }());
    const auto resolved = dir.exchange(1);
    ASSERT_TRUE(resolved);
    // Length 36 (17 units and the zero unit), then the units as sent.
    EXPECT_EQ(Bytes(resolved->request.begin() + 12, resolved->request.begin() + 22),
              (Bytes{36, 0, 0, 0, 0x42, 0x01, 'U', 0, 'K', 0}));

    const std::vector<uint16_t> beyond = {'.', 0xD842, 0xDFB7, '.', 'o', 'p', 's', '.', 'a', 'c', 'm', 'e'};
    ASSERT_EQ(do_login(&dir.conn, beyond, "Secret-Pw1"), 0);
    ASSERT_EQ(do_auth(&dir.conn), 0);
    EXPECT_EQ(dir.conn.user_id, dir.user("CN=\xF0\xA0\xAE\xB7.OU=ops.O=acme").id);

    const auto units = [](const char* ascii) { return std::vector<uint16_t>(ascii, ascii + std::strlen(ascii)); };
    const uint32_t sales = resolve(&dir.conn, units("alice.sales.acme"));
    const uint32_t ops = resolve(&dir.conn, units("Alice.OPS.acme"));
    EXPECT_EQ(sales, dir.user("CN=alice.OU=sales.O=acme").id);
    EXPECT_EQ(ops, dir.user("CN=alice.OU=ops.O=acme").id);
    EXPECT_NE(sales, ops);
    EXPECT_EQ(resolve(&dir.conn, units("alice.acme")), 0xFFFFFFFFu);
}

// Every length and check of the login reply: a reply that breaks one fails
// the login, and no private key is left behind.
TEST(Login, EveryLengthAndCheckOfTheReplyIsEnforced) {
    const char* faults[] = {"bad-nonce",         "bad-outer-check", "outer-head-kind",   "outer-longer-than-blob",
                            "outer-too-short",   "k-past-data",     "k-huge",            "inner-past-masked",
                            "inner-head-tag",    "body-past-inner", "inner-not-one-two", "key-check-wrong",
                            "blob-past-reply",   "blob-huge"};
    Directory dir;
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        const size_t logins = dir.logged("LOGIN conn");
        dir.set([&](ts::Options& o) { o.login_fault = *ts::login_fault_named(fault); });
        EXPECT_EQ(do_login(&dir.conn, "admin.acme", "secret-pw1"), 1);
        EXPECT_EQ(dir.logged("LOGIN conn"), logins + 1) << "the fault must lie in the reply only";
        EXPECT_EQ(dir.conn.private_key_len, 0u);
        EXPECT_TRUE(all_zero(dir.conn.private_key, sizeof dir.conn.private_key));
    }
}

// A full login and authentication; the server verifies the proof, and so
// does BIGNUM here on what it received. The longest name with the widest key
// must fit every buffer.
TEST(Auth, DirectoryAcceptsTheProof) {
    struct Case {
        int bits;
        bool q_above_p;
        size_t name_len;
    };
    const Case cases[] = {{512, false, 5}, {1024, true, 20}, {1264, false, 127}, {1264, true, 127}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, name " << c.name_len);
        const std::string name(c.name_len, 'u');
        Directory dir(c.bits, c.q_above_p, {name});
        ASSERT_EQ(do_login(&dir.conn, name.c_str(), "Secret-Pw1"), 0);
        ASSERT_EQ(do_auth(&dir.conn), 0);
        EXPECT_EQ(dir.logged("AUTHENTICATED"), 1u);
        EXPECT_TRUE(all_zero(dir.conn.private_key, sizeof dir.conn.private_key)) << "key left after use";

        const auto start = dir.exchange(59);
        ASSERT_TRUE(start);
        const Bytes nonce(start->reply.begin() + 4, start->reply.begin() + 8);
        EXPECT_EQ(Bytes(dir.conn.auth_nonce, dir.conn.auth_nonce + 4), nonce);
        const auto finish = dir.exchange(60);
        ASSERT_TRUE(finish);
        // Request: 0, an empty field, the credential, the proof.
        const std::span<const uint8_t> req = finish->request;
        const uint32_t cred_len = get32(req, 8);
        const Bytes cred(req.begin() + 12, req.begin() + 12 + cred_len);
        const size_t proof_at = 12 + ((cred_len + 3) & ~3u);
        const Bytes proof(req.begin() + proof_at + 4, req.begin() + proof_at + 4 + get32(req, proof_at));
        const ts::UserKeys& u = dir.user("CN=" + name);
        RsaKey key = oracle_key(u.key);
        EXPECT_EQ(proof_fault(key, proof, nonce.data(), cred), "");

        // Credential: 1, 6, login info, 4 random bytes, 0, 2n + 2, the name.
        ASSERT_EQ(cred.size(), 24 + 2 * c.name_len);
        EXPECT_EQ(get32(cred, 0), 1u);
        EXPECT_EQ(get16(cred, 4), 6u);
        const auto login = dir.exchange(58);
        ASSERT_TRUE(login);
        EXPECT_EQ(Bytes(cred.begin() + 6, cred.begin() + 14), Bytes(login->reply.begin() + 4, login->reply.begin() + 12));
        EXPECT_EQ(get16(cred, 18), 0u);
        EXPECT_EQ(get16(cred, 20), 2 * c.name_len + 2);
        EXPECT_EQ(get16(cred, 22), 'u');
        EXPECT_EQ(get16(cred, 22 + 2 * c.name_len), 0u);
    }
}

TEST(Auth, RefusalsAndUnusableKeysFail) {
    struct Case {
        const char* what;
        void (*set)(ts::Options&);
        int login, auth;  // the public key is read by the login
    };
    const Case cases[] = {
        {"auth start refused", [](ts::Options& o) { o.fail_verb[59] = 0xFFFFFDA7; }, 0, 1},
        {"proof refused", [](ts::Options& o) { o.fail_verb[60] = 0xFFFFFDA7; }, 0, 1},
        {"public key record damaged", [](ts::Options& o) { o.user_key.value.push_back({-20, 0x01}); }, 1, 1},
        {"public key value shorter than its record", [](ts::Options& o) { o.user_key.cut = 11; }, 1, 1},
        {"public key behind another skip count", [](ts::Options& o) { o.user_key.skip = 16; }, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Directory dir;
        dir.set(c.set);
        EXPECT_EQ(do_login(&dir.conn, "admin.acme", "Secret-Pw1"), c.login);
        if (c.login == 0) {
            EXPECT_EQ(do_auth(&dir.conn), c.auth);
        }
        EXPECT_TRUE(all_zero(dir.conn.private_key, sizeof dir.conn.private_key)) << "key left after use";
    }

    // A key wider than the proof's arithmetic holds fails the login, before
    // any arithmetic on it, and says how wide it is; 1264 bits still work.
    for (const int bits : {1264, 1280, 2048}) {
        SCOPED_TRACE(bits);
        Directory dir(bits);
        EXPECT_EQ(do_login(&dir.conn, "admin.acme", "Secret-Pw1"), bits > 1264 ? 1 : 0);
        EXPECT_EQ(dir.conn.failure.kind, bits > 1264 ? NCP_FAIL_KEY_SIZE : NCP_FAIL_NONE);
        if (bits > 1264) {
            EXPECT_EQ(dir.conn.failure.code, bits);
            EXPECT_TRUE(all_zero(dir.conn.private_key, sizeof dir.conn.private_key));
            EXPECT_FALSE(dir.exchange(59));
        }
    }
}

}  // namespace
