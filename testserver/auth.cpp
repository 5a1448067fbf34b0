// The authentication exchange, server side: verb 59 answers a nonce; verb 60
// checks the credential and the proof. The proof holds commitments X_i and
// responses Y_i; with H the block-hash digest of the credential and w_i the
// words of the digest over the challenge message and the X_i, every pair
// must satisfy Y_i^E = X_i * H^w_i (mod N).
#include <openssl/rand.h>

#include <algorithm>

#include "nwcrypto/nwcrypto.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"
#include "testserver/log.h"
#include "testserver/nds.h"
#include "testserver/ndsio.h"

namespace ts {
namespace {

std::vector<uint8_t> malformed(Session& s, const std::string& why) {
    deviation(s.id, "authentication: %s", why.c_str());
    return nds_error(kInvalidRequest);
}

// Checks the credential's fields; on success the named entry is the
// logged-in user's.
bool credential_ok(const World& w, Session& s, std::span<const uint8_t> cred) {
    rt::Reader r(cred);
    const uint32_t one = r.le32();
    const uint16_t six = r.le16();
    const std::span<const uint8_t> info = r.bytes(8);
    r.skip(4);  // the client's random bytes
    const uint16_t zero = r.le16();
    const uint16_t name_len = r.le16();
    if (!r.ok()) { deviation(s.id, "authentication: credential of %zu bytes is too short", cred.size()); return false; }
    bool ok = true;
    if (one != 1 || six != 6 || zero != 0) {
        deviation(s.id, "authentication: credential fields %u %u .. %u, not 1 6 .. 0", one, six, zero);
        ok = false;
    }
    if (!std::equal(info.begin(), info.end(), s.login_info.begin())) {
        deviation(s.id, "authentication: credential does not carry the login's 8 bytes");
        ok = false;
    }
    if (name_len != r.left() || name_len < 4 || name_len % 2 != 0) {
        deviation(s.id, "authentication: name length %u, %zu bytes follow", name_len, r.left());
        return false;
    }
    std::u16string units;
    for (size_t i = 0; i < name_len / 2u; ++i) units += static_cast<char16_t>(r.le16());
    if (units.back() != 0 || units.find(char16_t{0}) != units.size() - 1) {
        deviation(s.id, "authentication: credential name is not ended by its only zero unit");
        return false;
    }
    units.pop_back();
    std::vector<DnPart> parts;
    const Entry* e = nullptr;
    if (parse_dn(units, parts)) e = find_entry(w, parts);
    if (e == nullptr || e->kind != EntryKind::User || e->user != s.logged_user) {
        deviation(s.id, "authentication: credential names '%s', not the logged-in user",
                  units_to_utf8(units).c_str());
        return false;
    }
    return ok;
}

// Verifies the three pairs of the proof against the user's public key.
bool proof_ok(const World& w, Session& s, std::span<const uint8_t> cred, std::span<const uint8_t> proof) {
    const RsaKey& key = w.users[static_cast<size_t>(s.logged_user)].key;
    const size_t bits = static_cast<size_t>(BN_num_bits(key.n.get()));
    const size_t size = ((bits + 31) & ~size_t{15}) / 8;
    rt::Reader r(proof);
    const uint32_t one = r.le32();
    const uint32_t kind = r.le32();
    const uint16_t three = r.le16();
    const uint16_t len = r.le16();
    if (!r.ok() || one != 1 || kind != 0x00100008 || three != 3 || len != 3 * size || r.left() != 6 * size) {
        deviation(s.id, "authentication: proof head %u 0x%08x %u %u with %zu bytes, expected 1 0x00100008 3 %zu with %zu",
                  one, kind, three, len, r.left(), 3 * size, 6 * size);
        return false;
    }
    const std::span<const uint8_t> xs = proof.subspan(12, 3 * size);

    uint8_t state[NWHASH2_STATE_SIZE] = {};
    nwhash2block(state, cred.data(), static_cast<int>(cred.size()));
    nwhash2end(state);
    Bn h = bn_from_le(std::span<const uint8_t>(state, 16));

    // The challenge message: 0, 60, the nonce, the credential's length and the
    // credential, then the three commitments.
    std::vector<uint8_t> msg(16 + cred.size());
    rt::Writer mw(msg);
    mw.le32(0);
    mw.le32(60);
    mw.bytes(s.auth_nonce.data(), 4);
    mw.le32(static_cast<uint32_t>(cred.size()));
    mw.bytes(cred.data(), cred.size());
    std::fill(state, state + sizeof state, 0);
    nwhash2block(state, msg.data(), static_cast<int>(msg.size()));
    nwhash2block(state, xs.data(), static_cast<int>(xs.size()));
    nwhash2end(state);

    BN_CTX* ctx = BN_CTX_new();
    if (ctx == nullptr || !h) { BN_CTX_free(ctx); return false; }
    bool ok = true;
    for (size_t i = 0; i < 3 && ok; ++i) {
        Bn x = bn_from_le(proof.subspan(12 + i * size, size));
        Bn y = bn_from_le(proof.subspan(12 + (3 + i) * size, size));
        Bn wexp = bn_new(), lhs = bn_new(), hw = bn_new(), rhs = bn_new();
        if (!x || !y || !wexp || !lhs || !hw || !rhs) { ok = false; break; }
        if (BN_cmp(x.get(), key.n.get()) >= 0 || BN_cmp(y.get(), key.n.get()) >= 0) {
            deviation(s.id, "authentication: proof number X%zu or Y%zu is not below the modulus", i, i);
            ok = false;
            break;
        }
        BN_set_word(wexp.get(), rt::load_le16(state + 2 * i));
        ok = BN_mod_exp(lhs.get(), y.get(), key.e.get(), key.n.get(), ctx) == 1 &&
             BN_mod_exp(hw.get(), h.get(), wexp.get(), key.n.get(), ctx) == 1 &&
             BN_mod_mul(rhs.get(), x.get(), hw.get(), key.n.get(), ctx) == 1;
        if (ok && BN_cmp(lhs.get(), rhs.get()) != 0) {
            deviation(s.id, "authentication: proof pair %zu does not verify (Y^E != X * H^w mod N)", i);
            ok = false;
        }
    }
    BN_CTX_free(ctx);
    return ok;
}

}  // namespace

std::vector<uint8_t> verb_auth_begin(World& w, Session& s, std::span<const uint8_t> req) {
    NdsIn in(req);
    const uint32_t zero = in.u32();
    const uint32_t id = in.u32();
    in.u32();  // the client's time; any value is accepted
    if (!in.ok()) return malformed(s, "start request shorter than 12 bytes");
    if (zero != 0) deviation(s.id, "authentication start: first word %u, not 0", zero);
    if (in.left() != 0) deviation(s.id, "authentication start: %zu bytes after the time", in.left());
    s.auth_started = false;
    s.authenticated = false;
    if (s.logged_user < 0) return malformed(s, "start without a login");
    if (id != w.users[static_cast<size_t>(s.logged_user)].id) return malformed(s, "start names another entry than the login");
    if (RAND_bytes(s.auth_nonce.data(), 4) != 1) return nds_error(kInvalidRequest);
    s.auth_started = true;
    NdsOut out;
    out.u32(0);
    out.bytes(s.auth_nonce);
    return out.data();
}

std::vector<uint8_t> verb_auth_finish(World& w, Session& s, std::span<const uint8_t> req) {
    NdsIn in(req);
    const uint32_t zero = in.u32();
    std::span<const uint8_t> empty, cred, proof;
    std::string why;
    if (!in.ok()) return malformed(s, "proof request shorter than 4 bytes");
    if (!in.counted(empty, why) || !in.counted(cred, why) || !in.counted(proof, why)) return malformed(s, why);
    if (zero != 0) deviation(s.id, "authentication proof: first word %u, not 0", zero);
    if (!empty.empty()) deviation(s.id, "authentication proof: second field has %zu bytes, not 0", empty.size());
    if (in.left() != 0) deviation(s.id, "authentication proof: %zu bytes after the proof", in.left());
    if (!s.auth_started) return malformed(s, "proof without an authentication start");
    s.auth_started = false;
    if (!credential_ok(w, s, cred) || !proof_ok(w, s, cred, proof)) {
        log_line("AUTH-FAILED conn=%u", s.id);
        return nds_error(kFailedAuthentication);
    }
    s.authenticated = true;
    log_line("AUTHENTICATED conn=%u user=%s", s.id,
             dn_text(w.users[static_cast<size_t>(s.logged_user)].def->name).c_str());
    NdsOut out;
    out.u32(0);
    return out.data();
}

}  // namespace ts
