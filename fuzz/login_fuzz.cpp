// The directory's side of the NDS login and authentication: the test
// directory server running in this process, with faults chosen by the fuzz
// input, answers the real client over loopback TCP (set-up, fragment layer,
// verbs, key records, envelopes, login, proof and arithmetic). The random
// source is scripted by the function at the end of this file.
//
// Input: a mode byte, then
//  - raw (top bit set): frames [le16 length][payload], one per NDS exchange
//    in order (resolve, login start, login finish, read "Public Key", auth
//    start, auth proof); the server sends each payload in place of its reply,
//    and length 0xFFFF closes the connection instead. The authentication then
//    runs even after a failed login, with the user's private key installed.
//  - structured: a list of operations, each setting one of the server's
//    fault switches (see apply_op). No operations: login and authentication
//    succeed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "ncpclient/ncpclient.h"
#include "ndskey/keyrecord.h"
#include "ndsauth/ndsauth.h"
#include "runtime/cursor.h"
#include "testserver/keyblob.h"
#include "testserver/log.h"
#include "testserver/server.h"

namespace {

constexpr size_t kExchanges = 6;
constexpr uint32_t kVerbs[kExchanges] = {1, 57, 58, 3, 59, 60};
constexpr size_t kMaxOps = 64;
const std::string kNames[] = {"u", "uuuuuu", std::string(127, 'u'), std::string(128, 'u')};

struct Fuzz {
    ts::World world;
    ts::ThreadServer server;
};

Fuzz& fuzz() {
    static Fuzz* f = [] {
        auto* n = new Fuzz;
        ts::log_capture(true);
        std::string dir = "tree T\nserver CN=srv.O=acme\n";
        for (size_t i = 0; i + 1 < std::size(kNames); ++i) dir += "user CN=" + kNames[i] + "\npassword SECRET-pw\n";
        std::string error;
        if (!ts::world_from_text(n->world, dir, error) || !n->server.start(n->world)) {
            std::fprintf(stderr, "test server: %s\n", error.c_str());
            std::abort();
        }
        return n;
    }();
    return *f;
}

// What one input chose.
struct Script {
    bool raw = false;
    ts::Options opt;     // the fault switches
    size_t user = 1;     // index into kNames
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    int auth_fill = -1;  // a constant for every random byte after the login
};

Script g_script;
bool g_login_done = false;
uint64_t g_rng = 0;

std::vector<uint8_t> take_bytes(rt::Reader& in, size_t len_field, size_t max) {
    size_t n = len_field < in.left() ? len_field : in.left();
    if (n > max) n = max;
    auto s = in.bytes(n);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void add_flip(std::vector<ts::Flip>& list, rt::Reader& in) {
    const uint16_t at = in.le16();
    const uint8_t x = in.u8();
    if (in.ok()) list.push_back({at, x});
}

// One operation of a structured run.
void apply_op(Script& s, rt::Reader& in) {
    const uint8_t op = in.u8();
    const size_t x = in.u8() % kExchanges;  // exchange, where the op takes one
    ts::ReplyEdit& edit = s.opt.edit_verb[kVerbs[x]];
    ts::LoginEdit& login = s.opt.login_edit;
    switch (op % 22) {
        case 0: {
            const uint32_t code = in.le32();
            if (code != 0) s.opt.fail_verb[kVerbs[x]] = code;
            break;
        }
        case 1: edit.drop = true; break;
        case 2: login.k = in.le32(); break;
        case 3: login.cipher_len[0] = in.le16(); break;
        case 4: login.cipher_len[1] = in.le16(); break;
        case 5: login.body_len = in.le16(); break;
        case 6: login.blob_len = in.le32(); break;
        case 7: login.one = in.le32(); login.two = in.le16(); break;
        case 8: add_flip(edit.flips, in); break;
        case 9: edit.cut = in.le16(); break;
        case 10: edit.append = take_bytes(in, in.u8(), 255); break;
        case 11: s.opt.login_fault = static_cast<ts::LoginFault>(in.u8() % 15); break;
        case 12: add_flip(s.opt.user_key.value, in); break;
        case 13: add_flip(login.outer, in); break;
        case 14: add_flip(login.inner, in); break;
        case 15: add_flip(login.body, in); break;
        case 16: add_flip(s.opt.user_key.body, in); break;
        case 17: s.opt.user_key.skip = in.le16(); break;
        case 18: s.opt.user_key.cut = in.u8(); break;
        case 19: {
            const size_t which = x % 2;
            login.tag[which] = in.le32();
            login.kind[which] = in.le32();
            login.plain_len[which] = in.le16();
            break;
        }
        case 20: s.user = x % std::size(kNames); break;
        case 21:
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
        for (size_t x = 0; x < kExchanges && in.left() >= 2; ++x) {
            const uint16_t len = in.le16();
            ts::ReplyEdit& edit = s.opt.edit_verb[kVerbs[x]];
            if (len == 0xFFFF) edit.drop = true;
            else edit.replace = take_bytes(in, len, len);
        }
        return s;
    }
    for (size_t n = 0; n < kMaxOps && in.left() > 0; ++n) apply_op(s, in);
    return s;
}

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

void install_private_key(NcpConnection* conn) {
    const std::vector<uint8_t> rec = ts::key_record(fuzz().world.users[g_script.user % 3].private_body);
    std::memcpy(conn->private_key, rec.data(), rec.size());
    conn->private_key_len = static_cast<uint32_t>(rec.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NcpConnection* conn = new NcpConnection;
    static const bool verbose = std::getenv("LOGIN_FUZZ_VERBOSE") != nullptr;
    Fuzz& f = fuzz();

    g_script = parse(data, size);
    g_login_done = false;
    g_rng = g_script.seed;

    // The set-up with every switch off, then the input's switches.
    std::memset(conn, 0, sizeof *conn);
    NCPCONN_init(conn);
    f.server.with([](ts::World& w) {
        w.opt.edit_verb.clear();
        w.opt.fail_verb.clear();
        w.opt.login_fault = ts::LoginFault::None;
        w.opt.login_edit = {};
        w.opt.user_key = {};
        ts::log_capture(true);  // keeps the kept log from growing
        return 0;
    });
    const sockaddr_in address = f.server.address();
    if (NCPCONN_tcpconnect(conn, &address, 10) != 0) __builtin_trap();
    f.server.with([](ts::World& w) {
        w.opt.edit_verb = g_script.opt.edit_verb;
        w.opt.fail_verb = g_script.opt.fail_verb;
        w.opt.login_fault = g_script.opt.login_fault;
        w.opt.login_edit = g_script.opt.login_edit;
        w.opt.user_key = g_script.opt.user_key;
        return 0;
    });

    const std::string name = "." + kNames[g_script.user];
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
    NCPCONN_disconnect(conn);
    if (verbose) std::fprintf(stderr, "login %d auth %d\n", login, auth);
    return 0;
}

// A deterministic random source; after the login it may hand out one
// constant byte (edge values of the proof's random numbers).
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
    return 0;
}
