#include "directory.h"

#include <cstring>

#include "nwcrypto/nwcrypto.h"

namespace {

constexpr uint32_t kRefused = 0xFFFFFDA7;

Bytes reply_code(uint32_t code) {
    Bytes r;
    put32(r, code);
    return r;
}

std::string nwuni_at(const Bytes& b, size_t at) {
    const uint32_t len = get32(b, at);
    std::string s;
    for (size_t i = 0; i + 2 <= len; i += 2) {
        const uint16_t u = get16(b, at + 4 + i);
        if (u == 0) break;
        s.push_back(static_cast<char>(u));
    }
    return s;
}

void put_nwuni(Bytes& b, const std::string& s) {
    put32(b, static_cast<uint32_t>(2 * (s.size() + 1)));
    for (char c : s) put16(b, static_cast<uint8_t>(c));
    put16(b, 0);
    while (b.size() % 4 != 0) b.push_back(0);
}

Bytes upper(const std::string& s) {
    Bytes b;
    for (char c : s) b.push_back(static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 32 : c));
    return b;
}

}  // namespace

Bytes Directory::private_body() const { return ::private_body(user); }

std::optional<Bytes> Directory::handle(uint32_t verb, const Bytes& req) {
    switch (verb) {
    case 1: {
        resolved = nwuni_at(req, 12);
        if (resolve_fails) return reply_code(kRefused);
        Bytes r = reply_code(0);
        put32(r, 0);
        put32(r, user_id);
        return r;
    }
    case 3: {
        if (get32(req, 8) != user_id || nwuni_at(req, 24) != "Public Key") return reply_code(kRefused);
        const Bytes value = user_key_value.empty() ? public_key_value(public_record(user), 16) : user_key_value;
        Bytes r = reply_code(0);
        put32(r, 0xFFFFFFFF);
        put32(r, 1);
        put32(r, 1);
        put32(r, 0x17);
        put_nwuni(r, "Public Key");
        put32(r, 1);
        put32(r, static_cast<uint32_t>(value.size()));
        put_bytes(r, value);
        while (r.size() % 4 != 0) r.push_back(0);
        return r;
    }
    case 57: {
        if (req.size() != 8 || get32(req, 0) != 0 || get32(req, 4) != user_id) return reply_code(kRefused);
        Bytes r = reply_code(code57);
        put_bytes(r, salt);
        put_bytes(r, challenge);
        return r;
    }
    case 58:
        return login_finish(req);
    case 59: {
        if (req.size() != 12 || get32(req, 0) != 0 || get32(req, 4) != user_id) return reply_code(kRefused);
        Bytes r = reply_code(code59);
        put_bytes(r, auth_nonce);
        return r;
    }
    case 60:
        return auth_proof(req);
    default:
        return reply_code(kRefused);
    }
}

std::optional<Bytes> Directory::login_finish(const Bytes& req) {
    if (drop58) return std::nullopt;
    if (req.size() < 16 || get32(req, 0) != 2 || get32(req, 4) != 1 || get32(req, 8) != user_id)
        return reply_code(kRefused);
    const Bytes sealed(req.begin() + 16, req.end());
    if (get32(req, 12) != sealed.size() || sealed.size() < 88) return reply_code(kRefused);

    // The RSA block gives the secret, the secret the inner request.
    Bn m = bn_modexp(bn_le(std::span(sealed).subspan(28, 56)).get(), bn_le(server.d).get(),
                     bn_le(server.n).get());
    const Bytes block = le_of(m.get(), 56);
    const auto opened = oracle_open(std::span(block).subspan(1, 28), std::span(sealed).subspan(88));
    if (!opened || opened->size() != 1064) return reply_code(kRefused);
    inner = *opened;
    const Bytes nonce(inner.begin(), inner.begin() + 4);
    const Bytes pad(inner.begin() + 8, inner.begin() + 1032);
    const Bytes proof(inner.begin() + 1036, inner.end());

    uint8_t pwhash[16];
    const Bytes pw = upper(password);
    shuffle(std::span<const uint8_t>(salt).first<4>(), pw.data(), static_cast<int>(pw.size()), pwhash);
    const auto proved = oracle_open(std::span<const uint8_t>(pwhash, 16), proof);
    login_proof_ok = proved && *proved == challenge;
    if (!login_proof_ok) return reply_code(kRefused);

    // The private key inside the inner envelope, under the password hash.
    Bytes body = private_body();
    if (fault == Fault::KeyCheckWrong) body[6] ^= 0x01;
    Bytes data;
    put32(data, 1);
    put16(data, fault == Fault::InnerNotOneTwo ? 3 : 2);
    put16(data, static_cast<uint16_t>(body.size() + (fault == Fault::BodyPastInner ? 64 : 0)));
    put_bytes(data, body);
    Bytes inner_env = oracle_seal(std::span<const uint8_t>(pwhash, 16), data);
    if (fault == Fault::InnerPastMasked) inner_env[8] = static_cast<uint8_t>(inner_env.size());
    if (fault == Fault::InnerPastMasked) inner_env[9] = static_cast<uint8_t>(inner_env.size() >> 8);
    if (fault == Fault::InnerHeadTag) inner_env[0] = 2;
    const size_t k = inner_env.size();
    for (size_t i = 0; i < k; ++i) inner_env[i] ^= pad[i];

    Bytes outer;
    put_bytes(outer, nonce);
    if (fault == Fault::BadNonce) outer[0] ^= 0x80;
    uint32_t k_field = static_cast<uint32_t>(k);
    if (fault == Fault::KPastData) k_field += 16;
    if (fault == Fault::KHuge) k_field = 0xFFFFFFF8;
    put32(outer, k_field);
    put_bytes(outer, inner_env);
    Bytes blob = oracle_seal(proof, outer);
    if (fault == Fault::BadOuterCheck) blob.back() ^= 0x01;
    if (fault == Fault::OuterHeadKind) blob[6] = 0x07;
    if (fault == Fault::OuterLongerThanBlob) {
        const uint16_t c1 = static_cast<uint16_t>(get16(blob, 8) + 8);
        blob[8] = static_cast<uint8_t>(c1);
        blob[9] = static_cast<uint8_t>(c1 >> 8);
    }
    if (fault == Fault::OuterTooShort) blob[8] = 8, blob[9] = 0;

    Bytes r = reply_code(code58);
    put_bytes(r, login_info);
    uint32_t m_field = static_cast<uint32_t>(blob.size());
    if (fault == Fault::BlobPastReply) m_field += 4;
    if (fault == Fault::BlobHuge) m_field = 0xFFFFFFFF;
    put32(r, m_field);
    put_bytes(r, blob);
    return r;
}

std::optional<Bytes> Directory::auth_proof(const Bytes& req) {
    if (req.size() < 12 || get32(req, 0) != 0 || get32(req, 4) != 0) return reply_code(kRefused);
    const uint32_t cred_len = get32(req, 8);
    const size_t padded = (cred_len + 3) & ~3u;
    if (req.size() < 16 + padded) return reply_code(kRefused);
    credential.assign(req.begin() + 12, req.begin() + 12 + cred_len);
    for (size_t i = 12 + cred_len; i < 12 + padded; ++i)
        if (req[i] != 0) return reply_code(kRefused);
    const uint32_t proof_len = get32(req, 12 + padded);
    if (req.size() != 16 + padded + proof_len) return reply_code(kRefused);
    const Bytes proof(req.begin() + 16 + padded, req.end());
    proof_verdict = proof_fault(user, proof, auth_nonce.data(), credential);
    if (!proof_verdict.empty()) return reply_code(kRefused);
    return reply_code(code60);
}

std::unique_ptr<NcpConnection> connect_to(Directory* dir) {
    auto conn = std::make_unique<NcpConnection>();
    NCPCONN_init(conn.get());
    const Bytes rec = public_record(dir->server);
    std::memcpy(conn->server_key, rec.data(), rec.size());
    conn->server_key_len = static_cast<uint32_t>(rec.size() - 10);
    set_nds_handler([dir](uint32_t verb, const Bytes& req) { return dir->handle(verb, req); });
    return conn;
}
