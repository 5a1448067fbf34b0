// The directory's side of the NDS login and authentication, from the fuzz
// input, against the real request buffer, verbs, key records, envelopes,
// login, proof and arithmetic. The fragment layer and the random source are
// replaced by the two functions at the end of this file.
//
// Input: a mode byte, then
//  - raw (top bit set): frames [le16 length][payload], one per NDS exchange
//    in order (resolve, login start, login finish, read "Public Key", auth
//    start, auth proof); length 0xFFFF or the end of the input fails the
//    exchange. The login cannot pass the outer check value this way, so the
//    authentication then runs with the fixed private key installed.
//  - structured: the target answers every exchange with a well-formed reply
//    built from a fixed key pair (the helper's own RC2 and hashes seal the
//    login reply), and a list of operations changes chosen fields first
//    (see apply_op). No operations: login and authentication succeed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "ncpclient/ncpclient.h"
#include "ndsauth/keyrecord.h"
#include "ndsauth/ndsauth.h"
#include "nwcrypto/nwcrypto.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A fixed 448-bit server key (only its public half is needed: nothing here
// opens the sealed request) and a fixed 512-bit user key with its CRT parts,
// every number little-endian.
constexpr uint8_t kServerN[] = {
    0xA5, 0xEF, 0xD3, 0xFC, 0x51, 0x21, 0xD4, 0x22, 0x3A, 0x61, 0xCB, 0x08,
    0x89, 0xB4, 0x2C, 0x24, 0xCC, 0x0E, 0xDC, 0x64, 0x72, 0x59, 0x77, 0xDF,
    0x7F, 0x89, 0xD1, 0x60, 0xFA, 0x88, 0x60, 0x94, 0xC7, 0x71, 0x86, 0x7C,
    0xBE, 0x1D, 0x9E, 0x63, 0x75, 0xDB, 0x3B, 0x7A, 0x99, 0xC2, 0xFB, 0x47,
    0x9C, 0xAB, 0x2B, 0xED, 0x09, 0x0A, 0x37, 0xBC,
};
constexpr uint8_t kServerE[] = {
    0x01, 0x00, 0x01,
};
constexpr uint8_t kUserN[] = {
    0xB3, 0x3F, 0x86, 0x50, 0xC9, 0xE4, 0xD8, 0x16, 0x11, 0x93, 0xE9, 0xA5,
    0x51, 0x8B, 0x44, 0x62, 0x2E, 0xED, 0xA1, 0x0E, 0xC5, 0x1D, 0x79, 0x8A,
    0x04, 0xB6, 0x74, 0x80, 0x8D, 0x2F, 0xC0, 0x21, 0x9D, 0x1D, 0xFA, 0x27,
    0x5C, 0xAB, 0x8E, 0x88, 0x04, 0x19, 0xF3, 0x7C, 0x21, 0x02, 0x40, 0xC0,
    0xDD, 0x7E, 0xEF, 0x30, 0xF0, 0xA5, 0xB3, 0xCB, 0xE8, 0x43, 0xC9, 0xA6,
    0xC9, 0x80, 0xF4, 0xA3,
};
constexpr uint8_t kUserE[] = {
    0x01, 0x00, 0x01,
};
constexpr uint8_t kUserP[] = {
    0x3B, 0x94, 0x5F, 0x4F, 0xBB, 0x0F, 0x2A, 0x7B, 0x71, 0xF2, 0x82, 0x04,
    0x63, 0xD5, 0xDF, 0xB2, 0x0F, 0x48, 0xD1, 0xE1, 0x56, 0x53, 0x3B, 0x76,
    0x8B, 0xE9, 0x5E, 0x9A, 0x21, 0x8B, 0x06, 0xD0,
};
constexpr uint8_t kUserQ[] = {
    0xE9, 0xA2, 0x81, 0x5F, 0x38, 0x05, 0x75, 0x82, 0xBC, 0x6B, 0xEE, 0x65,
    0xA0, 0x1E, 0x60, 0x67, 0x98, 0x36, 0x51, 0x09, 0x2C, 0x78, 0xD0, 0x42,
    0x85, 0xDB, 0xDB, 0x6D, 0x32, 0x1E, 0xC4, 0xC9,
};
constexpr uint8_t kUserDP[] = {
    0x31, 0x8F, 0x08, 0x5E, 0x59, 0x2D, 0x79, 0x83, 0x61, 0x1C, 0x0C, 0x36,
    0xAF, 0xC6, 0x3D, 0xCF, 0xB1, 0x12, 0x79, 0x7E, 0x21, 0xAE, 0x89, 0xE9,
    0x25, 0x5E, 0xC3, 0xAA, 0xD7, 0xE9, 0x01, 0x0F,
};
constexpr uint8_t kUserDQ[] = {
    0x39, 0xEF, 0x7C, 0x9E, 0x07, 0x05, 0xBC, 0xAF, 0x34, 0x80, 0x09, 0xB2,
    0xFD, 0x2F, 0x35, 0x2E, 0x14, 0xC4, 0x26, 0xD4, 0x9C, 0x10, 0xBE, 0xDB,
    0x8E, 0x09, 0x3E, 0xCC, 0x4C, 0x30, 0x11, 0x77,
};
constexpr uint8_t kUserCR[] = {
    0x5E, 0x99, 0x97, 0x7E, 0x2B, 0x64, 0x96, 0xC5, 0x8F, 0x7E, 0x8B, 0xBE,
    0x5D, 0xDB, 0xCE, 0xD9, 0xAB, 0x0B, 0x79, 0x84, 0xFC, 0xF8, 0xBB, 0x3F,
    0x2E, 0x4F, 0x5E, 0xD2, 0xC5, 0x53, 0x7D, 0x8B,
};

constexpr char kPassword[] = "SECRET-PW";
constexpr uint32_t kUserId = 0x00A1B2C3;
constexpr size_t kExchanges = 6;  // resolve, 57, 58, read, 59, 60
constexpr size_t kNonceLen = 4;
constexpr size_t kPadLen = 1024;
constexpr size_t kMaxOps = 64;

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}
void put_bytes(Bytes& b, std::span<const uint8_t> s) { b.insert(b.end(), s.begin(), s.end()); }
void set16(Bytes& b, size_t at, uint16_t v) {
    if (at + 2 > b.size()) return;
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void set32(Bytes& b, size_t at, uint32_t v) {
    set16(b, at, static_cast<uint16_t>(v));
    set16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
void xor_at(Bytes& b, size_t at, uint8_t x) {
    if (!b.empty()) b[at % b.size()] ^= x;
}

// Key record chunks; `at` remembers where each chunk's head lies so that an
// operation can change its lengths.
struct KeyBody {
    Bytes chunks;  // without the "MA" chunk, which is appended on use
    std::vector<size_t> at;
    Bytes ma_xor;  // applied to the finished body, after the check value
};

void add_chunk(KeyBody& k, const char* tag, std::span<const uint8_t> data) {
    k.at.push_back(k.chunks.size());
    const size_t a = data.size() < 255 ? data.size() : 255;
    k.chunks.push_back(static_cast<uint8_t>(tag[0]));
    k.chunks.push_back(static_cast<uint8_t>(tag[1]));
    k.chunks.push_back(static_cast<uint8_t>(a));
    k.chunks.push_back(static_cast<uint8_t>(data.size() - a));
    put_bytes(k.chunks, data);
}

// The body with its "MA" chunk: the check value over everything before it.
Bytes finish_body(const KeyBody& k) {
    Bytes body = k.chunks;
    uint8_t check[8] = {};
    nwhash1(check, 8, body.data(), static_cast<int>(body.size()));
    body.insert(body.end(), {'M', 'A', 16, 0});
    body.insert(body.end(), check, check + 8);
    body.insert(body.end(), 8, 0);
    for (size_t i = 0; i + 3 <= k.ma_xor.size(); i += 3)
        xor_at(body, rt::load_le16(&k.ma_xor[i]), k.ma_xor[i + 2]);
    return body;
}

Bytes key_record(const Bytes& body) {
    Bytes r = {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00};
    put16(r, static_cast<uint16_t>(body.size()));
    put_bytes(r, body);
    return r;
}

KeyBody public_body(const uint8_t* n, size_t n_len, const uint8_t* e, size_t e_len) {
    KeyBody k;
    add_chunk(k, "NN", {n, n_len});
    add_chunk(k, "EN", {e, e_len});
    return k;
}

KeyBody private_body() {
    KeyBody k;
    add_chunk(k, "PN", kUserP);
    add_chunk(k, "QN", kUserQ);
    add_chunk(k, "DP", kUserDP);
    add_chunk(k, "DQ", kUserDQ);
    add_chunk(k, "CR", kUserCR);
    return k;
}

// Everything a structured run may change. Fields left unset keep the
// well-formed value.
struct Script {
    bool raw = false;
    std::vector<Bytes> frames;  // raw mode
    std::vector<bool> frame_fails;

    uint32_t code[kExchanges] = {};
    bool fails[kExchanges] = {};
    Bytes patch[kExchanges];   // triples: le16 offset, xor byte, on the reply payload
    long cut[kExchanges] = {-1, -1, -1, -1, -1, -1};
    Bytes append[kExchanges];

    uint8_t salt[4] = {0x11, 0x22, 0x33, 0x44};
    uint8_t challenge[4] = {0xC1, 0xC2, 0xC3, 0xC4};
    uint8_t auth_nonce[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    long k = -1, c1 = -1, c2 = -1, n1 = -1, n2 = -1, body_len = -1, m = -1;
    long one = -1, two = -1;
    long tag[2] = {-1, -1}, kind[2] = {-1, -1};
    Bytes outer_patch, inner_patch;  // triples on the plain data before sealing
    KeyBody priv = private_body();
    KeyBody pub = public_body(kUserN, sizeof kUserN, kUserE, sizeof kUserE);
    uint16_t skip = 0;
    Bytes value_patch;  // triples on the "Public Key" value
    size_t name_len = 6;
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    int auth_fill = -1;  // a constant for every random byte after the login
};

Script g_script;
size_t g_exchange = 0;
Bytes g_drawn;          // random bytes handed out, in order
bool g_login_done = false;
uint64_t g_rng = 0;

size_t exchange_index(uint32_t verb) {
    switch (verb) {
        case 1: return 0;
        case 57: return 1;
        case 58: return 2;
        case 3: return 3;
        case 59: return 4;
        case 60: return 5;
        default: return kExchanges;
    }
}

// Reads a length-prefixed byte string of the input (at most max bytes).
Bytes take_bytes(rt::Reader& in, size_t len_field, size_t max) {
    size_t n = len_field < in.left() ? len_field : in.left();
    if (n > max) n = max;
    auto s = in.bytes(n);
    return Bytes(s.begin(), s.end());
}

void add_triple(Bytes& list, rt::Reader& in) {
    const uint16_t off = in.le16();
    const uint8_t x = in.u8();
    if (!in.ok()) return;
    put16(list, off);
    list.push_back(x);
}

void set_chunk_lengths(KeyBody& k, rt::Reader& in) {
    const uint8_t i = in.u8();
    const uint8_t a = in.u8();
    const uint8_t b = in.u8();
    if (!in.ok() || k.at.empty()) return;
    const size_t at = k.at[i % k.at.size()];
    if (at + 4 > k.chunks.size()) return;
    k.chunks[at + 2] = a;
    k.chunks[at + 3] = b;
}

void replace_chunks(KeyBody& k, rt::Reader& in, size_t max) {
    k.chunks = take_bytes(in, in.le16(), max);
    k.at.clear();
}

// One operation of a structured run.
void apply_op(Script& s, rt::Reader& in) {
    const uint8_t op = in.u8();
    const size_t x = in.u8() % kExchanges;  // exchange, where the op takes one
    switch (op % 26) {
        case 0: s.code[x] = in.le32(); break;
        case 1: s.fails[x] = true; break;
        case 2: s.k = in.le32(); break;
        case 3: s.c1 = in.le16(); break;
        case 4: s.c2 = in.le16(); break;
        case 5: s.body_len = in.le16(); break;
        case 6: s.m = in.le32(); break;
        case 7: s.one = in.le32(); s.two = in.le16(); break;
        case 8: add_triple(s.patch[x], in); break;
        case 9: s.cut[x] = in.le16(); break;
        case 10: s.append[x] = take_bytes(in, in.u8(), 255); break;
        case 11: in.copy(s.salt, 4); in.copy(s.challenge, 4); break;
        case 12: in.copy(s.auth_nonce, 4); break;
        case 13: add_triple(s.outer_patch, in); break;
        case 14: add_triple(s.inner_patch, in); break;
        case 15: set_chunk_lengths(s.priv, in); break;
        case 16: replace_chunks(s.priv, in, 1100); break;
        case 17: add_triple(s.priv.ma_xor, in); break;
        case 18: set_chunk_lengths(s.pub, in); break;
        case 19: replace_chunks(s.pub, in, 900); break;
        case 20: add_triple(s.pub.ma_xor, in); break;
        case 21: s.skip = in.le16(); break;
        case 22: add_triple(s.value_patch, in); break;
        case 23: {
            const size_t which = x % 2;
            s.tag[which] = in.le32();
            s.kind[which] = in.le32();
            (which == 0 ? s.n1 : s.n2) = in.le16();
            break;
        }
        case 24: s.name_len = 1 + x * 25 + in.u8() % 25; break;  // 1..150
        case 25:
            s.seed = static_cast<uint64_t>(in.le32()) << 32 | in.le32();
            s.auth_fill = (x == 0) ? in.u8() : -1;
            break;
    }
}

Script parse(const uint8_t* data, size_t size) {
    Script s;
    rt::Reader in(std::span<const uint8_t>(data, size));
    const uint8_t mode = in.u8();
    if (!in.ok()) return s;
    s.raw = (mode & 0x80) != 0;
    if (s.raw) {
        while (in.left() >= 2 && s.frames.size() < kExchanges) {
            const uint16_t len = in.le16();
            s.frame_fails.push_back(len == 0xFFFF);
            s.frames.push_back(len == 0xFFFF ? Bytes() : take_bytes(in, len, len));
        }
        return s;
    }
    for (size_t n = 0; n < kMaxOps && in.left() > 0; ++n) apply_op(s, in);
    return s;
}

// SkEnvelope of data under secret, with the head fields the script overrides.
Bytes seal(std::span<const uint8_t> secret, const Bytes& data, int which) {
    Bytes env(SK_HEAD_SIZE + sk_cipher_len(data.size()));
    size_t total = 0;
    __NWEncryptWithSK(secret.data(), secret.size(), data.data(), data.size(), env, &total);
    env.resize(total);
    const Script& s = g_script;
    if (s.tag[which] >= 0) set32(env, 0, static_cast<uint32_t>(s.tag[which]));
    if (s.kind[which] >= 0) set32(env, 4, static_cast<uint32_t>(s.kind[which]));
    const long c = which == 0 ? s.c1 : s.c2;
    const long n = which == 0 ? s.n1 : s.n2;
    if (c >= 0) set16(env, 8, static_cast<uint16_t>(c));
    if (n >= 0) set16(env, 10, static_cast<uint16_t>(n));
    return env;
}

void apply_triples(Bytes& b, const Bytes& list) {
    for (size_t i = 0; i + 3 <= list.size(); i += 3) xor_at(b, rt::load_le16(&list[i]), list[i + 2]);
}

// The login completion reply as a server builds it: the private key in the
// inner envelope under the password hash, masked with the pad, behind the
// nonce and k in the outer envelope under the login proof.
Bytes login_reply() {
    const Script& s = g_script;
    if (g_drawn.size() < kNonceLen + kPadLen) return {};
    const uint8_t* nonce = g_drawn.data();
    const uint8_t* pad = g_drawn.data() + kNonceLen;

    uint8_t pwhash[16];
    shuffle(s.salt, reinterpret_cast<const uint8_t*>(kPassword), static_cast<int>(std::strlen(kPassword)),
            pwhash);
    uint8_t proof[SK_HEAD_SIZE + 16];
    size_t proof_len = 0;
    __NWEncryptWithSK(pwhash, sizeof pwhash, s.challenge, 4, proof, &proof_len);

    const Bytes body = finish_body(s.priv);
    Bytes inner;
    put32(inner, s.one >= 0 ? static_cast<uint32_t>(s.one) : 1);
    put16(inner, s.two >= 0 ? static_cast<uint16_t>(s.two) : 2);
    put16(inner, s.body_len >= 0 ? static_cast<uint16_t>(s.body_len) : static_cast<uint16_t>(body.size()));
    put_bytes(inner, body);
    apply_triples(inner, s.inner_patch);
    Bytes inner_env = seal(std::span<const uint8_t>(pwhash, 16), inner, 1);
    for (size_t i = 0; i < inner_env.size() && i < kPadLen; ++i) inner_env[i] ^= pad[i];

    Bytes outer(nonce, nonce + kNonceLen);
    put32(outer, s.k >= 0 ? static_cast<uint32_t>(s.k) : static_cast<uint32_t>(inner_env.size()));
    put_bytes(outer, inner_env);
    apply_triples(outer, s.outer_patch);
    const Bytes blob = seal(std::span<const uint8_t>(proof, proof_len), outer, 0);

    Bytes r;
    put32(r, s.code[2]);
    put_bytes(r, Bytes{0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58});
    put32(r, s.m >= 0 ? static_cast<uint32_t>(s.m) : static_cast<uint32_t>(blob.size()));
    put_bytes(r, blob);
    return r;
}

Bytes read_reply() {
    const Script& s = g_script;
    Bytes value(26 + s.skip, 0);
    set16(value, 10, s.skip);
    put_bytes(value, key_record(finish_body(s.pub)));
    apply_triples(value, s.value_patch);

    Bytes r;
    put32(r, s.code[3]);
    put32(r, 0xFFFFFFFF);
    put32(r, 1);
    put32(r, 1);
    put32(r, 0x17);
    const char* attr = "Public Key";
    put32(r, static_cast<uint32_t>(2 * (std::strlen(attr) + 1)));
    for (const char* p = attr; *p; ++p) put16(r, static_cast<uint8_t>(*p));
    put16(r, 0);
    while (r.size() % 4 != 0) r.push_back(0);
    put32(r, 1);
    put32(r, static_cast<uint32_t>(value.size()));
    put_bytes(r, value);
    while (r.size() % 4 != 0) r.push_back(0);
    return r;
}

// The reply to one exchange of a structured run, or false for a failed one.
bool structured_reply(size_t x, Bytes* out) {
    const Script& s = g_script;
    if (s.fails[x]) return false;
    Bytes r;
    switch (x) {
        case 0: put32(r, s.code[0]); put32(r, 0); put32(r, kUserId); break;
        case 1: put32(r, s.code[1]); r.insert(r.end(), s.salt, s.salt + 4); r.insert(r.end(), s.challenge, s.challenge + 4); break;
        case 2: r = login_reply(); break;
        case 3: r = read_reply(); break;
        case 4: put32(r, s.code[4]); r.insert(r.end(), s.auth_nonce, s.auth_nonce + 4); break;
        default: put32(r, s.code[5]); break;
    }
    apply_triples(r, s.patch[x]);
    if (s.cut[x] >= 0 && static_cast<size_t>(s.cut[x]) < r.size()) r.resize(static_cast<size_t>(s.cut[x]));
    put_bytes(r, s.append[x]);
    *out = std::move(r);
    return true;
}

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

void install_private_key(NcpConnection* conn) {
    const Bytes rec = key_record(finish_body(private_body()));
    std::memcpy(conn->private_key, rec.data(), rec.size());
    conn->private_key_len = static_cast<uint32_t>(rec.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NcpConnection* conn = new NcpConnection;
    static const bool verbose = std::getenv("LOGIN_FUZZ_VERBOSE") != nullptr;

    g_script = parse(data, size);
    g_exchange = 0;
    g_drawn.clear();
    g_login_done = false;
    g_rng = g_script.seed;

    std::memset(conn, 0, sizeof *conn);
    NCPCONN_init(conn);
    const Bytes server = key_record(finish_body(public_body(kServerN, sizeof kServerN, kServerE, sizeof kServerE)));
    std::memcpy(conn->server_key, server.data(), server.size());
    conn->server_key_len = static_cast<uint32_t>(server.size() - KEY_HEAD_SIZE);

    const std::string name = "." + std::string(g_script.name_len, 'u');
    const int login = do_login(conn, name.c_str(), "secret-pw");
    g_login_done = true;
    // A failed login leaves no key behind; a successful one leaves a checked one.
    if (login != 0 && (conn->private_key_len != 0 || !all_zero(conn->private_key, sizeof conn->private_key)))
        __builtin_trap();
    if (login == 0 && (checkkey(std::span<const uint8_t>(conn->private_key)) != 1 ||
                       conn->private_key_len < KEY_HEAD_SIZE || conn->private_key_len > KEY_AREA_SIZE))
        __builtin_trap();

    int auth = -1;
    if (login == 0 || g_script.raw) {
        if (login != 0) install_private_key(conn);
        auth = do_auth(conn);
        // The private key serves one proof and is gone afterwards.
        if (conn->private_key_len != 0 || !all_zero(conn->private_key, sizeof conn->private_key))
            __builtin_trap();
    }
    if (verbose) std::fprintf(stderr, "login %d auth %d exchanges %zu\n", login, auth, g_exchange);
    return 0;
}

// The fragment layer's part towards its callers: the reply payload goes in at
// the reply cursor as far as the buffer holds it, and the reply is ended
// there, ready to parse.
int ncp_send_nds_frag(NcpConnection*, const NWDSBuf* request, NWDSBuf* reply) {
    if (request == nullptr || reply == nullptr || request->failed) return 1;
    const size_t n_exchange = g_exchange++;
    Bytes payload;
    if (g_script.raw) {
        if (n_exchange >= g_script.frames.size() || g_script.frame_fails[n_exchange]) return 1;
        payload = g_script.frames[n_exchange];
    } else {
        const size_t x = exchange_index(request->operation);
        if (x >= kExchanges || !structured_reply(x, &payload)) return 1;
        // Seeds for the raw mode: the replies of a structured run, framed.
        static std::FILE* dump = [] {
            const char* path = std::getenv("LOGIN_FUZZ_DUMP");
            return path != nullptr ? std::fopen(path, "ab") : nullptr;
        }();
        if (dump != nullptr) {
            Bytes frame;
            put16(frame, static_cast<uint16_t>(payload.size()));
            put_bytes(frame, payload);
            std::fwrite(frame.data(), 1, frame.size(), dump);
            std::fflush(dump);
        }
    }
    NWDSBufAppendReply(reply, payload);
    NWDSBufEndReply(reply);
    return 0;
}

// A deterministic random source; the bytes of the login are kept so that the
// structured reply can use the nonce and pad the helper drew.
int fillrandom(void* p, size_t n) {
    auto* out = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) {
        if (g_login_done && g_script.auth_fill >= 0) {
            out[i] = static_cast<uint8_t>(g_script.auth_fill);
            continue;
        }
        g_rng = g_rng * 6364136223846793005ull + 1442695040888963407ull;
        out[i] = static_cast<uint8_t>(g_rng >> 56);
    }
    if (!g_login_done && g_drawn.size() < kNonceLen + kPadLen) g_drawn.insert(g_drawn.end(), out, out + n);
    return 0;
}
