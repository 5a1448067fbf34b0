// The login and the authentication against a scripted directory that opens
// what we send with OpenSSL and answers with replies built with OpenSSL's RC2.
#include <gtest/gtest.h>

#include <cstring>

#include "directory.h"
#include "ndsauth/ndsauth.h"

namespace {

const RsaKey& server_key() {
    static const RsaKey k = make_rsa(448);
    return k;
}
const RsaKey& user512() {
    static const RsaKey k = make_rsa(512);
    return k;
}

Directory directory(const RsaKey& user = user512()) {
    Directory d;
    d.server = server_key();
    d.user = user;
    return d;
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

TEST(Login, WellFormedReplyYieldsThePrivateKey) {
    Directory dir = directory();
    dir.password = "Secret-Pw1";
    auto conn = connect_to(&dir);
    reset_random();
    // Lower-case letters are hashed as upper case; other bytes unchanged.
    ASSERT_EQ(do_login(conn.get(), ".admin.acme", "secret-pW1"), 0);
    EXPECT_TRUE(dir.login_proof_ok);

    EXPECT_EQ(dir.resolved, "admin.acme");
    EXPECT_EQ(units(conn->user_name), "admin.acme");
    EXPECT_EQ(conn->user_id, dir.user_id);
    EXPECT_EQ(Bytes(conn->login_info, conn->login_info + 8), dir.login_info);
    const Bytes body = dir.private_body();
    EXPECT_EQ(conn->private_key_len, body.size() + 10);
    EXPECT_EQ(Bytes(conn->private_key, conn->private_key + conn->private_key_len), key_record(body));

    // Inner request: nonce, 1024, pad, 28 and the proof; the verb-58 request
    // is 16 bytes of fields and the 1172-byte sealed form.
    ASSERT_EQ(dir.inner.size(), 1064u);
    EXPECT_EQ(get32(dir.inner, 4), 1024u);
    EXPECT_EQ(get32(dir.inner, 1032), 28u);
    const auto& calls = nds_calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].verb, 1u);
    EXPECT_EQ(calls[1].request, (Bytes{0, 0, 0, 0, 0xC3, 0xB2, 0xA1, 0x00}));
    ASSERT_EQ(calls[2].verb, 58u);
    EXPECT_EQ(calls[2].request.size(), 1188u);
    EXPECT_EQ(get32(calls[2].request, 12), 1172u);
    EXPECT_EQ(random_drawn(), 4u + 1024u + 28u + 5u);
}

TEST(Login, NamePasswordAndDotHandling) {
    {
        Directory dir = directory();
        auto conn = connect_to(&dir);
        dir.password = "";
        EXPECT_EQ(do_login(conn.get(), "..x", ""), 0) << "empty password";
        EXPECT_EQ(dir.resolved, ".x") << "only one leading dot is dropped";
    }
    {
        // The longest password and name that fit their buffers work.
        Directory dir = directory();
        auto conn = connect_to(&dir);
        dir.password = std::string(127, 'p');
        const std::string name(127, 'n');
        EXPECT_EQ(do_login(conn.get(), name.c_str(), dir.password.c_str()), 0);
        EXPECT_EQ(units(conn->user_name), name);
    }
    {
        // One more fails before anything is sent.
        Directory dir = directory();
        auto conn = connect_to(&dir);
        EXPECT_EQ(do_login(conn.get(), "admin", std::string(128, 'p').c_str()), 1);
        EXPECT_EQ(do_login(conn.get(), std::string(128, 'n').c_str(), "pw"), 1);
        EXPECT_TRUE(nds_calls().empty());
    }
}

TEST(Login, RefusalsAndFailedExchangesFail) {
    struct Case {
        const char* what;
        void (*set)(Directory&);
        size_t calls;
    };
    const Case cases[] = {
        {"name does not resolve", [](Directory& d) { d.resolve_fails = true; }, 1},
        {"login start refused", [](Directory& d) { d.code57 = 0xFFFFFDA7; }, 2},
        {"login completion refused", [](Directory& d) { d.code58 = 0xFFFFFDA7; }, 3},
        {"login completion exchange fails", [](Directory& d) { d.drop58 = true; }, 3},
        {"wrong password", [](Directory& d) { d.password = "other"; }, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Directory dir = directory();
        c.set(dir);
        auto conn = connect_to(&dir);
        std::memset(conn->private_key, 0x5A, sizeof conn->private_key);  // from an earlier login
        conn->private_key_len = 99;
        EXPECT_EQ(do_login(conn.get(), "admin", "secret-pw1"), 1);
        EXPECT_EQ(nds_calls().size(), c.calls);
        EXPECT_EQ(conn->private_key_len, 0u);
        EXPECT_TRUE(all_zero(conn->private_key, sizeof conn->private_key));
    }
}

// Every length and check of the login reply: a reply that breaks one fails
// the login, and no private key is left behind.
TEST(Login, EveryLengthAndCheckOfTheReplyIsEnforced) {
    const std::pair<Fault, const char*> faults[] = {
        {Fault::BadNonce, "nonce"},
        {Fault::BadOuterCheck, "outer check value"},
        {Fault::OuterHeadKind, "outer head"},
        {Fault::OuterLongerThanBlob, "C1 past the blob"},
        {Fault::OuterTooShort, "C1 too short for nonce, k and check"},
        {Fault::KPastData, "k past the deciphered data"},
        {Fault::KHuge, "k beyond the pad"},
        {Fault::InnerPastMasked, "inner envelope past the masked bytes"},
        {Fault::InnerHeadTag, "inner head"},
        {Fault::BodyPastInner, "key body past the inner envelope"},
        {Fault::InnerNotOneTwo, "inner data not 1, 2"},
        {Fault::KeyCheckWrong, "private key check value"},
        {Fault::BlobPastReply, "blob past the received reply"},
        {Fault::BlobHuge, "blob length 0xFFFFFFFF"},
    };
    for (const auto& [fault, what] : faults) {
        SCOPED_TRACE(what);
        Directory dir = directory();
        dir.password = "SECRET";
        dir.fault = fault;
        auto conn = connect_to(&dir);
        EXPECT_EQ(do_login(conn.get(), "admin", "secret"), 1);
        EXPECT_TRUE(dir.login_proof_ok) << "the fault must lie in the reply only";
        EXPECT_EQ(conn->private_key_len, 0u);
        EXPECT_TRUE(all_zero(conn->private_key, sizeof conn->private_key));
    }
}

// A full login and authentication; the directory verifies the proof with
// BIGNUM. The longest name with the widest key must fit every buffer.
TEST(Auth, DirectoryAcceptsTheProof) {
    struct Case {
        int bits;
        bool q_above_p;
        size_t name_len;
    };
    const Case cases[] = {{512, false, 5}, {1024, true, 20}, {1264, false, 127}, {1264, true, 127}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, name " << c.name_len);
        Directory dir = directory(c.bits == 512 ? user512() : make_rsa(c.bits, c.q_above_p));
        auto conn = connect_to(&dir);
        const std::string name(c.name_len, 'u');
        ASSERT_EQ(do_login(conn.get(), name.c_str(), dir.password.c_str()), 0);
        ASSERT_EQ(do_auth(conn.get()), 0) << dir.proof_verdict;
        EXPECT_EQ(dir.proof_verdict, "");
        EXPECT_TRUE(all_zero(conn->private_key, sizeof conn->private_key)) << "key left after use";
        EXPECT_EQ(Bytes(conn->auth_nonce, conn->auth_nonce + 4), dir.auth_nonce);

        // Credential: 1, 6, login info, 4 random bytes, 0, 2n + 2, the name.
        ASSERT_EQ(dir.credential.size(), 24 + 2 * c.name_len);
        EXPECT_EQ(get32(dir.credential, 0), 1u);
        EXPECT_EQ(get16(dir.credential, 4), 6u);
        EXPECT_EQ(Bytes(dir.credential.begin() + 6, dir.credential.begin() + 14), dir.login_info);
        EXPECT_EQ(get16(dir.credential, 18), 0u);
        EXPECT_EQ(get16(dir.credential, 20), 2 * c.name_len + 2);
        EXPECT_EQ(get16(dir.credential, 22), 'u');
        EXPECT_EQ(get16(dir.credential, 22 + 2 * c.name_len), 0u);
    }
}

TEST(Auth, RefusalsAndUnusableKeysFail) {
    struct Case {
        const char* what;
        void (*set)(Directory&);
    };
    const Case cases[] = {
        {"auth start refused", [](Directory& d) { d.code59 = 0xFFFFFDA7; }},
        {"proof refused", [](Directory& d) { d.code60 = 0xFFFFFDA7; }},
        {"public key record damaged",
         [](Directory& d) {
             Bytes rec = public_record(d.user);
             rec[20] ^= 0x01;
             d.user_key_value = public_key_value(rec, 16);
         }},
        {"public key value shorter than its record",
         [](Directory& d) {
             Bytes v = public_key_value(public_record(d.user), 16);
             d.user_key_value.assign(v.begin(), v.end() - 11);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Directory dir = directory();
        auto conn = connect_to(&dir);
        ASSERT_EQ(do_login(conn.get(), "admin", dir.password.c_str()), 0);
        c.set(dir);
        EXPECT_EQ(do_auth(conn.get()), 1);
        EXPECT_TRUE(all_zero(conn->private_key, sizeof conn->private_key)) << "key left after use";
    }

    // A key wider than the precision fails without sending a proof.
    Directory dir = directory(make_rsa(1280));
    auto conn = connect_to(&dir);
    ASSERT_EQ(do_login(conn.get(), "admin", dir.password.c_str()), 0);
    EXPECT_EQ(do_auth(conn.get()), 1);
    EXPECT_NE(nds_calls().back().verb, 60u);
}

}  // namespace
