// Login and authentication against the running server, with a client built
// here: its envelopes use the project's RC2 (the server uses OpenSSL's), its
// RSA and proof arithmetic OpenSSL's big numbers.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/rand.h>

#include <array>
#include <cstring>
#include <memory>

#include "bytes.h"
#include "nwcrypto/nwcrypto.h"
#include "raw_client.h"
#include "runtime/bytes.h"
#include "server_process.h"

namespace {

struct BnDel { void operator()(BIGNUM* b) const { BN_free(b); } };
using Bn = std::unique_ptr<BIGNUM, BnDel>;
struct CtxDel { void operator()(BN_CTX* c) const { BN_CTX_free(c); } };

constexpr uint32_t kFailedAuthentication = 0xFFFFFD63;

Bn le(std::span<const uint8_t> b) { return Bn(BN_lebin2bn(b.data(), static_cast<int>(b.size()), nullptr)); }
Bytes le_bytes(const BIGNUM* v, size_t n) {
    Bytes out(n);
    EXPECT_EQ(BN_bn2lebinpad(v, out.data(), static_cast<int>(n)), static_cast<int>(n));
    return out;
}
Bytes random_bytes(size_t n) {
    Bytes b(n);
    RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

std::array<uint8_t, 8> env_key(std::span<const uint8_t> secret) {
    std::array<uint8_t, 8> k{};
    for (int i = 0; i < 10; ++i) nwhash1(k.data(), 8, secret.data(), static_cast<int>(secret.size()));
    return k;
}

Bytes seal(std::span<const uint8_t> secret, std::span<const uint8_t> data) {
    const size_t pad = 8 - (data.size() + 5) % 8;
    Bytes body(data.begin(), data.end());
    body.insert(body.end(), pad, static_cast<uint8_t>(pad));
    uint8_t check[5] = {};
    nwhash1(check, 5, body.data(), static_cast<int>(body.size()));
    body.insert(body.end(), check, check + 5);
    const auto key = env_key(secret);
    nwencryptblock(key, body.data(), static_cast<int>(body.size()), body.data());
    Bytes env;
    put32(env, 1);
    put32(env, 0x00060001);
    put16(env, static_cast<uint16_t>(body.size()));
    put16(env, static_cast<uint16_t>(data.size()));
    put_bytes(env, body);
    return env;
}

bool open_env(std::span<const uint8_t> secret, std::span<const uint8_t> env, Bytes& plain) {
    if (env.size() < 12 || rt::load_le32(env.data()) != 1 || rt::load_le32(env.data() + 4) != 0x00060001) return false;
    const size_t c = rt::load_le16(env.data() + 8), n = rt::load_le16(env.data() + 10);
    if (env.size() != 12 + c || c % 8 != 0 || n + 5 > c) return false;
    Bytes body(env.begin() + 12, env.end());
    const auto key = env_key(secret);
    nwdecryptblock(key, body.data(), static_cast<int>(body.size()), body.data());
    uint8_t check[5] = {};
    nwhash1(check, 5, body.data(), static_cast<int>(c - 5));
    if (std::memcmp(check, body.data() + c - 5, 5) != 0) return false;
    plain.assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}

// Chunks of a key-record body by tag (data length = the sum of the two length bytes).
std::map<std::string, Bytes> chunks(std::span<const uint8_t> body) {
    std::map<std::string, Bytes> out;
    for (size_t at = 0; at + 4 <= body.size();) {
        const size_t len = size_t{body[at + 2]} + body[at + 3];
        if (at + 4 + len > body.size()) break;
        out[std::string(body.begin() + at, body.begin() + at + 2)] =
            Bytes(body.begin() + at + 4, body.begin() + at + 4 + len);
        at += 4 + len;
    }
    return out;
}

std::map<std::string, Bytes> public_key(RawClient& c, uint32_t id) {
    std::vector<Bytes> values;
    EXPECT_EQ(read_values(c, id, "Public Key", 768, values), 0u);
    if (values.size() != 1) return {};
    const Bytes& v = values[0];
    const size_t p = 26 + rt::load_le16(v.data() + 10);
    return chunks(std::span<const uint8_t>(v).subspan(p + 10, rt::load_le16(v.data() + p + 8)));
}

Bytes nds_reply(RawClient& c, uint32_t verb, const Bytes& req) {
    Bytes reply;
    EXPECT_TRUE(c.nds(verb, req, 1024, reply));
    return reply;
}

struct Login {
    uint32_t user_id = 0;
    std::string name;
    Bytes login_info;
    std::map<std::string, Bytes> priv;
};

// Verbs 57 and 58; the NDS completion code of verb 58 (or of an earlier step).
uint32_t login(RawClient& c, const std::string& name, const std::string& password, Login& out) {
    out.name = name;
    std::vector<uint8_t> reply;
    NcpReply r;
    // The server's key: its own name, resolved, its "Public Key".
    if (!c.nds(53, {}, 1024, reply)) return 0xDEAD;
    std::string server;
    for (size_t i = 8; i + 1 < 8 + le32_at(reply, 4) - 2; i += 2) server += static_cast<char>(reply[i]);
    uint32_t server_id = 0;
    if (resolve_code(c, server, &server_id) != 0) return 0xDEAD;
    auto skey = public_key(c, server_id);
    if (resolve_code(c, name, &out.user_id) != 0) return 0xDEAD;

    NdsReq start;
    start.u32(0).u32(out.user_id);
    reply = nds_reply(c, 57, start.b);
    if (le32_at(reply, 0) != 0) return le32_at(reply, 0);
    EXPECT_EQ(reply.size(), 12u);
    const Bytes salt(reply.begin() + 4, reply.begin() + 8), challenge(reply.begin() + 8, reply.begin() + 12);

    std::string upper = password;
    for (char& ch : upper) if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    uint8_t hash[16];
    shuffle(std::span<const uint8_t>(salt).first<4>(), reinterpret_cast<const uint8_t*>(upper.data()), static_cast<int>(upper.size()), hash);
    const Bytes proof = seal(std::span<const uint8_t>(hash, 16), challenge);
    EXPECT_EQ(proof.size(), 28u);

    const Bytes nonce = random_bytes(4), pad = random_bytes(1024);
    Bytes inner = nonce;
    put32(inner, 1024);
    put_bytes(inner, pad);
    put32(inner, 28);
    put_bytes(inner, proof);

    uint8_t block[56] = {0x0B};
    const Bytes secret = random_bytes(28);
    std::memcpy(block + 1, secret.data(), 28);
    std::memset(block + 29, 0x0B, 11);
    nwhash1(block + 40, 5, block + 1, 39);
    nwhash1(block + 45, 2, block, 45);
    RAND_bytes(block + 47, 5);
    std::unique_ptr<BN_CTX, CtxDel> ctx(BN_CTX_new());
    Bn m = le(std::span<const uint8_t>(block, 56)), enc(BN_new());
    BN_mod_exp(enc.get(), m.get(), le(skey["EN"]).get(), le(skey["NN"]).get(), ctx.get());
    const Bytes sealed = seal(secret, inner);
    Bytes env = {1, 0, 0, 0, 9, 0, 2, 0};
    put32(env, static_cast<uint32_t>(76 + sealed.size()));
    put_bytes(env, Bytes{0x41, 0, 0, 0, 1, 0, 0, 0, 1, 0, 9, 0, 0x35, 0, 0x1C, 0});
    put_bytes(env, le_bytes(enc.get(), 56));
    put32(env, static_cast<uint32_t>(sealed.size()));
    put_bytes(env, sealed);
    EXPECT_EQ(env.size(), 1172u);

    NdsReq finish;
    finish.u32(2).u32(1).u32(out.user_id).bytes(env);
    reply = nds_reply(c, 58, finish.b);
    if (le32_at(reply, 0) != 0) return le32_at(reply, 0);
    out.login_info.assign(reply.begin() + 4, reply.begin() + 12);
    const size_t blob_len = le32_at(reply, 12);
    if (16 + blob_len > reply.size()) return 0xBAD1;
    Bytes outer, masked_plain;
    if (!open_env(proof, std::span<const uint8_t>(reply).subspan(16, blob_len), outer)) return 0xBAD2;
    if (outer.size() < 8 || !std::equal(nonce.begin(), nonce.end(), outer.begin())) return 0xBAD3;
    const size_t k = rt::load_le32(outer.data() + 4);
    if (k > 1024 || 8 + k != outer.size()) return 0xBAD4;
    for (size_t i = 0; i < k; ++i) outer[8 + i] ^= pad[i];
    if (!open_env(std::span<const uint8_t>(hash, 16), std::span<const uint8_t>(outer).subspan(8, k), masked_plain)) return 0xBAD5;
    if (masked_plain.size() < 8 || rt::load_le32(masked_plain.data()) != 1 || rt::load_le16(masked_plain.data() + 4) != 2) return 0xBAD6;
    const size_t body_len = rt::load_le16(masked_plain.data() + 6);
    if (8 + body_len != masked_plain.size() || body_len < 20) return 0xBAD7;
    const std::span<const uint8_t> body(masked_plain.data() + 8, body_len);
    uint8_t check[8] = {};
    nwhash1(check, 8, body.data(), static_cast<int>(body_len - 20));
    out.priv = chunks(body);
    if (std::memcmp(check, out.priv["MA"].data(), 8) != 0) return 0xBAD8;
    return 0;
}

// Verbs 59 and 60 with a correct proof, or with Y_1 changed when tamper is set.
uint32_t authenticate(RawClient& c, const Login& l, bool tamper = false) {
    auto pub = public_key(c, l.user_id);
    NdsReq start;
    start.u32(0).u32(l.user_id).u32(0x5F5E1000);
    Bytes reply = nds_reply(c, 59, start.b);
    if (le32_at(reply, 0) != 0) return le32_at(reply, 0);
    const Bytes nonce(reply.begin() + 4, reply.begin() + 8);

    std::string name = l.name;
    if (!name.empty() && name[0] == '.') name.erase(0, 1);
    Bytes cred;
    put32(cred, 1);
    put16(cred, 6);
    put_bytes(cred, l.login_info);
    put_bytes(cred, random_bytes(4));
    put16(cred, 0);
    put16(cred, static_cast<uint16_t>(2 * name.size() + 2));
    for (char ch : name) put16(cred, static_cast<uint8_t>(ch));
    put16(cred, 0);

    std::unique_ptr<BN_CTX, CtxDel> ctx(BN_CTX_new());
    Bn n = le(pub["NN"]), e = le(pub["EN"]);
    Bn p = le(l.priv.at("PN")), q = le(l.priv.at("QN")), dp = le(l.priv.at("DP")), dq = le(l.priv.at("DQ")),
       cr = le(l.priv.at("CR"));
    Bn pq(BN_new());
    BN_mul(pq.get(), p.get(), q.get(), ctx.get());
    EXPECT_EQ(BN_cmp(pq.get(), n.get()), 0) << "the private key's primes do not make the public modulus";
    const size_t bits = static_cast<size_t>(BN_num_bits(n.get()));
    const size_t size = ((bits + 31) & ~size_t{15}) / 8;

    uint8_t st[NWHASH2_STATE_SIZE] = {};
    nwhash2block(st, cred.data(), static_cast<int>(cred.size()));
    nwhash2end(st);
    Bn h = le(std::span<const uint8_t>(st, 16));
    // S = H^d mod N by the Chinese remainder theorem, reduced properly whatever the order of P and Q.
    Bn m1(BN_new()), m2(BN_new()), t(BN_new()), s(BN_new());
    BN_mod_exp(m1.get(), h.get(), dp.get(), p.get(), ctx.get());
    BN_mod_exp(m2.get(), h.get(), dq.get(), q.get(), ctx.get());
    BN_mod_sub(t.get(), m1.get(), m2.get(), p.get(), ctx.get());
    BN_mod_mul(t.get(), t.get(), cr.get(), p.get(), ctx.get());
    BN_mul(s.get(), t.get(), q.get(), ctx.get());
    BN_add(s.get(), s.get(), m2.get());

    Bytes xs, ys;
    std::vector<Bn> rs;
    for (int i = 0; i < 3; ++i) {
        Bn r(BN_new()), x(BN_new());
        BN_rand_range(r.get(), n.get());
        BN_mod_exp(x.get(), r.get(), e.get(), n.get(), ctx.get());
        put_bytes(xs, le_bytes(x.get(), size));
        rs.push_back(std::move(r));
    }
    Bytes msg;
    put32(msg, 0);
    put32(msg, 60);
    put_bytes(msg, nonce);
    put32(msg, static_cast<uint32_t>(cred.size()));
    put_bytes(msg, cred);
    std::memset(st, 0, sizeof st);
    nwhash2block(st, msg.data(), static_cast<int>(msg.size()));
    nwhash2block(st, xs.data(), static_cast<int>(xs.size()));
    nwhash2end(st);
    for (int i = 0; i < 3; ++i) {
        Bn w(BN_new()), y(BN_new());
        BN_set_word(w.get(), rt::load_le16(st + 2 * i));
        BN_mod_exp(y.get(), s.get(), w.get(), n.get(), ctx.get());
        BN_mod_mul(y.get(), y.get(), rs[static_cast<size_t>(i)].get(), n.get(), ctx.get());
        if (tamper && i == 1) BN_sub_word(y.get(), 1);
        put_bytes(ys, le_bytes(y.get(), size));
    }
    Bytes proof;
    put32(proof, 1);
    put32(proof, 0x00100008);
    put16(proof, 3);
    put16(proof, static_cast<uint16_t>(3 * size));
    put_bytes(proof, xs);
    put_bytes(proof, ys);

    NdsReq fin;
    fin.u32(0).bytes({}).bytes(cred).bytes(proof);
    reply.clear();
    EXPECT_TRUE(c.nds(60, fin.b, 1024, reply));
    return le32_at(reply, 0);
}

uint8_t change_state(RawClient& c) {
    NcpReply r;
    const uint8_t req[] = {0x17, 0x00, 0x02, 0x1D, 0x01};
    EXPECT_TRUE(c.call(0x2222, req, r));
    EXPECT_TRUE(r.data.empty());
    return r.completion;
}

uint32_t read_groups(RawClient& c, const std::string& user, size_t* count) {
    uint32_t id = 0;
    std::vector<Bytes> values;
    if (resolve_code(c, user, &id) != 0) return 0xDEAD;
    const uint32_t code = read_values(c, id, "Group Membership", 30000, values);
    *count = values.size();
    return code;
}

TEST(Login, FullLoginMakesTheConnectionReadGroups) {
    ServerProcess server(standard_directory(false));
    ASSERT_NE(server.port(), 0);
    // A mixed-case password (the hash is over its upper case), and a user with
    // an empty password, a blank and an ISO 8859-1 letter in its typeless name.
    for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
             {"CN=search.O=acme", "search-PASS1"}, {".ann m\xFCller.sales.acme", ""}}) {
        RawClient c;
        ASSERT_TRUE(c.connect(server.port()));
        ASSERT_TRUE(c.create());
        Login l;
        ASSERT_EQ(login(c, user, password, l), 0u) << user;
        EXPECT_EQ(l.priv.size(), 6u);  // PN QN DP DQ CR MA
        ASSERT_EQ(authenticate(c, l), 0u) << user;
        EXPECT_EQ(change_state(c), 0);
        size_t count = 0;
        EXPECT_EQ(read_groups(c, "alice.sales.acme", &count), 0u);
        EXPECT_EQ(count, 2u);
    }
    EXPECT_EQ(server.lines("LOGIN ").size(), 2u);
    EXPECT_EQ(server.lines("AUTHENTICATED").size(), 2u);
    EXPECT_EQ(server.lines("LOGGED-IN").size(), 2u);
    EXPECT_TRUE(server.lines("DEVIATION").empty()) << server.log();
    EXPECT_EQ(server.stop(), 0);
}

TEST(Login, WrongPasswordAndWrongProofAreRefused) {
    ServerProcess server(standard_directory(false));
    RawClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.create());
    Login l;
    EXPECT_EQ(login(c, "search.acme", "wrong", l), kFailedAuthentication);
    EXPECT_EQ(server.lines("LOGIN-FAILED").size(), 1u);
    EXPECT_TRUE(server.lines("DEVIATION").empty()) << server.log();
    // Authentication without a login fails; so does a change of state.
    NdsReq start;
    start.u32(0).u32(l.user_id).u32(0);
    EXPECT_NE(le32_at(nds_reply(c, 59, start.b), 0), 0u);
    EXPECT_NE(change_state(c), 0);

    ASSERT_EQ(login(c, "search.acme", "Search-Pass1", l), 0u);
    EXPECT_EQ(authenticate(c, l, true), kFailedAuthentication);
    EXPECT_NE(change_state(c), 0);
    size_t count = 0;
    EXPECT_NE(read_groups(c, "alice.sales.acme", &count), 0u);
    const auto lines = server.lines("DEVIATION");
    bool found = false;
    for (const std::string& line : lines) found = found || line.find("pair 1 does not verify") != std::string::npos;
    EXPECT_TRUE(found) << server.log();
}

TEST(Login, KeySizesAndPrimeOrder) {
    for (const auto& opts : std::vector<std::vector<std::string>>{
             {"--user-key-bits", "1264"}, {"--user-key-bits", "509"}, {"--q-above-p"}}) {
        ServerProcess server(standard_directory(false), opts);
        RawClient c;
        ASSERT_TRUE(c.connect(server.port()));
        ASSERT_TRUE(c.create());
        Login l;
        ASSERT_EQ(login(c, "search.acme", "Search-Pass1", l), 0u) << opts[0];
        Bn p = le(l.priv["PN"]), q = le(l.priv["QN"]);
        EXPECT_EQ(BN_cmp(q.get(), p.get()) > 0, opts[0] == "--q-above-p");
        EXPECT_EQ(authenticate(c, l), 0u) << opts[0];
        EXPECT_TRUE(server.lines("DEVIATION").empty()) << server.log();
    }
}

}  // namespace
