// The login exchange, server side: verb 57 hands out the user's salt and a
// fresh challenge; verb 58 opens the sealed request with the server's private
// key, checks the proof of the password and answers with the user's private
// key, sealed so that only a holder of the password hash can open it.
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "nwcrypto/nwcrypto.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"
#include "runtime/wipe.h"
#include "testserver/keyblob.h"
#include "testserver/log.h"
#include "testserver/nds.h"
#include "testserver/ndsio.h"
#include "testserver/skenvelope.h"

namespace ts {
namespace {

constexpr size_t kRsaBlock = 56;
constexpr size_t kInnerRequest = 1064;
constexpr size_t kPadBytes = 1024;
constexpr size_t kProofBytes = 28;
constexpr uint8_t kEnvelopeHead[8] = {0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x00};
constexpr uint8_t kEnvelopeFixed[16] = {0x41, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                                        0x01, 0x00, 0x09, 0x00, 0x35, 0x00, 0x1C, 0x00};

std::vector<uint8_t> malformed(Session& s, const std::string& why) {
    deviation(s.id, "login: %s", why.c_str());
    return nds_error(kInvalidRequest);
}

std::string user_dn(const World& w, int user) {
    return dn_text(w.users[static_cast<size_t>(user)].def->name);
}

// The password hash the client must use: shuffle of the salt and the
// password with a-z upper-cased (other bytes as they are).
std::array<uint8_t, 16> password_hash(const UserKeys& u) {
    std::string pw = u.def->password;
    for (char& c : pw) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::array<uint8_t, 16> hash{};
    shuffle(u.salt, reinterpret_cast<const uint8_t*>(pw.data()), static_cast<int>(pw.size()), hash);
    rt::wipe(pw.data(), pw.size());
    return hash;
}

// Deciphers the RSA block with the server's private key and checks its fixed
// bytes and both check values; on success secret holds R.
bool open_rsa_block(const World& w, Session& s, std::span<const uint8_t> block, std::array<uint8_t, 28>& secret) {
    Bn c = bn_from_le(block);
    Bn m = bn_new();
    if (!c || !m) return false;
    if (BN_cmp(c.get(), w.server_key.n.get()) >= 0) {
        deviation(s.id, "login: RSA block is not below the server's modulus");
        return false;
    }
    uint8_t plain[kRsaBlock] = {};
    if (!rsa_modexp(c.get(), w.server_key.d.get(), w.server_key.n.get(), m.get()) ||
        !bn_to_le_fixed(m.get(), plain)) {
        return false;
    }
    uint8_t check5[5] = {};
    nwhash1(check5, 5, plain + 1, 39);
    uint8_t check2[2] = {};
    nwhash1(check2, 2, plain, 45);
    bool ok = true;
    if (plain[0] != 0x0B) { deviation(s.id, "login: RSA block byte 0 is 0x%02x, not 0x0B", plain[0]); ok = false; }
    for (size_t i = 29; i < 40; ++i) {
        if (plain[i] != 0x0B) { deviation(s.id, "login: RSA block byte %zu is 0x%02x, not 0x0B", i, plain[i]); ok = false; break; }
    }
    if (std::memcmp(check5, plain + 40, 5) != 0) { deviation(s.id, "login: RSA block 5-byte check value wrong"); ok = false; }
    if (std::memcmp(check2, plain + 45, 2) != 0) { deviation(s.id, "login: RSA block 2-byte check value wrong"); ok = false; }
    for (size_t i = 52; i < 56; ++i) {
        if (plain[i] != 0) { deviation(s.id, "login: RSA block byte %zu is not zero", i); ok = false; break; }
    }
    if (ok) std::memcpy(secret.data(), plain + 1, secret.size());
    rt::wipe(plain, sizeof plain);
    return ok;
}

// The login options' changes to an envelope head (0 outer, 1 inner).
void edit_head(const LoginEdit& e, int which, std::vector<uint8_t>& env) {
    if (env.size() < 12) return;
    if (e.tag[which] >= 0) rt::store_le32(env.data(), static_cast<uint32_t>(e.tag[which]));
    if (e.kind[which] >= 0) rt::store_le32(env.data() + 4, static_cast<uint32_t>(e.kind[which]));
    if (e.cipher_len[which] >= 0) rt::store_le16(env.data() + 8, static_cast<uint16_t>(e.cipher_len[which]));
    if (e.plain_len[which] >= 0) rt::store_le16(env.data() + 10, static_cast<uint16_t>(e.plain_len[which]));
}

uint32_t field(long edit, size_t value) { return edit >= 0 ? static_cast<uint32_t>(edit) : static_cast<uint32_t>(value); }

// The private key body as handed out: the user's, or with the options'
// changes (the check value made anew after them, unless it is to be wrong).
std::vector<uint8_t> handed_body(const Options& o, const UserKeys& u) {
    std::vector<uint8_t> body = u.private_body;
    if (!o.login_edit.body.empty()) {
        body.erase(body.end() - static_cast<std::ptrdiff_t>(std::min(kCheckChunkSize, body.size())), body.end());
        apply_flips(body, o.login_edit.body);
        put_check_chunk(body);
    }
    if (o.login_fault == LoginFault::KeyCheckWrong) body[6] ^= 0x01;
    return body;
}

// The sealed key blob: an envelope under the proof's key holding the nonce,
// k, and the inner envelope (under the password hash's key) masked with the
// client's pad. The options' faults and edits change it on the way.
bool build_key_blob(const Options& o, const UserKeys& u, std::span<const uint8_t> hash,
                    std::span<const uint8_t> proof, std::span<const uint8_t> nonce, std::span<const uint8_t> pad,
                    std::vector<uint8_t>& blob) {
    const LoginFault f = o.login_fault;
    const LoginEdit& e = o.login_edit;
    std::vector<uint8_t> body = handed_body(o, u);
    std::vector<uint8_t> inner_plain(8 + body.size());
    rt::Writer iw(inner_plain);
    iw.le32(field(e.one, 1));
    iw.le16(static_cast<uint16_t>(f == LoginFault::InnerNotOneTwo ? 3 : field(e.two, 2)));
    iw.le16(static_cast<uint16_t>(field(e.body_len, body.size() + (f == LoginFault::BodyPastInner ? 64 : 0))));
    iw.bytes(body.data(), body.size());
    rt::wipe(body.data(), body.size());
    apply_flips(inner_plain, e.inner);
    std::vector<uint8_t> inner;
    const bool sealed = iw.ok() && sk_seal(hash, inner_plain, inner);
    rt::wipe(inner_plain.data(), inner_plain.size());
    if (!sealed || inner.size() > pad.size()) return false;
    edit_head(e, 1, inner);
    if (f == LoginFault::InnerPastMasked) rt::store_le16(inner.data() + 8, static_cast<uint16_t>(inner.size()));
    if (f == LoginFault::InnerHeadTag) inner[0] = 2;
    for (size_t i = 0; i < inner.size(); ++i) inner[i] ^= pad[i];

    size_t k = inner.size();
    if (f == LoginFault::KPastData) k += 16;
    std::vector<uint8_t> outer_plain(8 + inner.size());
    rt::Writer ow(outer_plain);
    ow.bytes(nonce.data(), 4);
    ow.le32(f == LoginFault::KHuge ? 0xFFFFFFF8u : field(e.k, k));
    ow.bytes(inner.data(), inner.size());
    if (f == LoginFault::BadNonce) outer_plain[0] ^= 0x80;
    apply_flips(outer_plain, e.outer);
    const bool ok = ow.ok() && sk_seal(proof, outer_plain, blob);
    rt::wipe(outer_plain.data(), outer_plain.size());
    rt::wipe(inner.data(), inner.size());
    if (!ok) return false;
    edit_head(e, 0, blob);
    if (f == LoginFault::BadOuterCheck) blob.back() ^= 0x01;
    if (f == LoginFault::OuterHeadKind) blob[6] = 0x07;
    if (f == LoginFault::OuterLongerThanBlob) rt::store_le16(blob.data() + 8, static_cast<uint16_t>(rt::load_le16(blob.data() + 8) + 8));
    if (f == LoginFault::OuterTooShort) rt::store_le16(blob.data() + 8, 8);
    return true;
}

// The blob length field of the reply.
uint32_t blob_length(const Options& o, size_t size) {
    if (o.login_fault == LoginFault::BlobHuge) return 0xFFFFFFFF;
    return field(o.login_edit.blob_len, size + (o.login_fault == LoginFault::BlobPastReply ? 4 : 0));
}

}  // namespace

std::vector<uint8_t> verb_login_begin(World& w, Session& s, std::span<const uint8_t> req) {
    NdsIn in(req);
    const uint32_t zero = in.u32();
    const uint32_t id = in.u32();
    if (!in.ok()) return malformed(s, "start request shorter than 8 bytes");
    if (zero != 0) deviation(s.id, "login start: first word %u, not 0", zero);
    if (in.left() != 0) deviation(s.id, "login start: %zu bytes after the entry ID", in.left());
    s.login_user = -1;
    s.logged_user = -1;
    s.auth_started = false;
    s.authenticated = false;
    const Entry* e = entry_by_id(w, id);
    if (e == nullptr || e->kind != EntryKind::User) {
        log_line("LOGIN-FAILED conn=%u entry 0x%08x is not a user", s.id, id);
        return nds_error(kNoSuchEntry);
    }
    if (RAND_bytes(s.challenge.data(), 4) != 1) return nds_error(kInvalidRequest);
    s.login_user = e->user;
    NdsOut out;
    out.u32(0);
    out.bytes(w.users[static_cast<size_t>(e->user)].salt);
    out.bytes(s.challenge);
    return out.data();
}

std::vector<uint8_t> verb_login_finish(World& w, Session& s, std::span<const uint8_t> req) {
    NdsIn in(req);
    const uint32_t two = in.u32();
    const uint32_t one = in.u32();
    const uint32_t id = in.u32();
    std::span<const uint8_t> env;
    std::string why;
    if (!in.ok()) return malformed(s, "completion request shorter than its fixed fields");
    if (!in.counted(env, why)) return malformed(s, "envelope: " + why);
    if (two != 2 || one != 1) deviation(s.id, "login completion: words %u %u, not 2 1", two, one);
    if (in.left() != 0) deviation(s.id, "login completion: %zu bytes after the envelope", in.left());
    if (s.login_user < 0) return malformed(s, "completion without a login start");
    const int user = s.login_user;
    s.login_user = -1;
    const UserKeys& u = w.users[static_cast<size_t>(user)];
    if (id != u.id) return malformed(s, "completion names another entry than the start");
    if (env.size() != 1172) deviation(s.id, "login completion: envelope of %zu bytes, not 1172", env.size());

    rt::Reader r(env);
    const std::span<const uint8_t> head = r.bytes(8);
    const uint32_t outer = r.le32();
    const std::span<const uint8_t> fixed = r.bytes(16);
    const std::span<const uint8_t> block = r.bytes(kRsaBlock);
    const uint32_t elen = r.le32();
    if (!r.ok()) return malformed(s, "envelope shorter than its RSA part");
    if (!std::equal(head.begin(), head.end(), kEnvelopeHead)) deviation(s.id, "login: envelope head bytes wrong");
    if (!std::equal(fixed.begin(), fixed.end(), kEnvelopeFixed)) deviation(s.id, "login: envelope fixed bytes wrong");
    if (elen != r.left()) return malformed(s, "envelope length field does not match the bytes that follow");
    if (outer != 76 + elen) deviation(s.id, "login: outer length %u, not 76 + %u", outer, elen);
    const std::span<const uint8_t> sealed = r.bytes(elen);

    std::array<uint8_t, 28> secret{};
    if (!open_rsa_block(w, s, block, secret)) return nds_error(kInvalidRequest);
    std::vector<uint8_t> inner;
    const bool opened = sk_open(secret, sealed, inner, why);
    rt::wipe(secret.data(), secret.size());
    if (!opened) return malformed(s, "sealed request: " + why);

    rt::Reader ir(inner);
    const std::span<const uint8_t> nonce = ir.bytes(4);
    const uint32_t pad_len = ir.le32();
    const std::span<const uint8_t> pad = ir.bytes(kPadBytes);
    const uint32_t proof_len = ir.le32();
    const std::span<const uint8_t> proof = ir.bytes(kProofBytes);
    std::vector<uint8_t> reply;
    if (inner.size() != kInnerRequest || !ir.ok() || pad_len != kPadBytes || proof_len != kProofBytes) {
        reply = malformed(s, "inner request is not nonce, 1024, pad, 28, proof (" + std::to_string(inner.size()) + " bytes)");
        rt::wipe(inner.data(), inner.size());
        return reply;
    }
    rt::Reader pr(proof);
    const uint32_t p1 = pr.le32(), p2 = pr.le32();
    const uint16_t pc = pr.le16(), pn = pr.le16();
    if (p1 != 1 || p2 != 0x00060001 || pc != 16 || pn != 4) {
        deviation(s.id, "login: proof head %u 0x%08x %u %u, not 1 0x00060001 16 4", p1, p2, pc, pn);
    }

    std::array<uint8_t, 16> hash = password_hash(u);
    std::vector<uint8_t> expected;
    const bool made = sk_seal(hash, s.challenge, expected);
    if (!made || expected.size() != proof.size() || !std::equal(proof.begin(), proof.end(), expected.begin())) {
        log_line("LOGIN-FAILED conn=%u user=%s wrong password", s.id, user_dn(w, user).c_str());
        reply = nds_error(kFailedAuthentication);
    } else {
        std::vector<uint8_t> blob;
        if (RAND_bytes(s.login_info.data(), 8) != 1 || !build_key_blob(w.opt, u, hash, proof, nonce, pad, blob)) {
            reply = nds_error(kInvalidRequest);
        } else {
            NdsOut out;
            out.u32(0);
            out.bytes(s.login_info);
            out.u32(blob_length(w.opt, blob.size()));
            out.bytes(blob);
            while (out.data().size() % 4 != 0) out.data().push_back(0);
            reply = out.data();
            s.logged_user = user;
            log_line("LOGIN conn=%u user=%s", s.id, user_dn(w, user).c_str());
        }
        rt::wipe(blob.data(), blob.size());
    }
    rt::wipe(hash.data(), hash.size());
    rt::wipe(inner.data(), inner.size());
    return reply;
}

}  // namespace ts
