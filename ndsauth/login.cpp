// The login exchange: the server hands out a salt and a challenge, we answer
// with the challenge sealed under the password hash inside the RSA envelope,
// and the server answers with the user's private key, enciphered so that only
// a holder of the password hash can open it.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>

#include "ndsauth/ndsauth.h"
#include "nwcrypto/nwcrypto.h"
#include "runtime/cursor.h"
#include "runtime/wipe.h"

namespace {

constexpr uint32_t kVerbLoginStart = 57;
constexpr uint32_t kVerbLoginFinish = 58;
constexpr size_t kRequestSize = 2048;
constexpr size_t kReplySize = 1024;
constexpr size_t kInnerSize = 1200;
constexpr size_t kEnvelopeSize = 1200;
constexpr size_t kPasswordSize = 128;
constexpr size_t kNameUnits = sizeof(NcpConnection::user_name) / sizeof(uint16_t);
constexpr size_t kNonceLen = 4;
constexpr uint32_t kPadLen = 1024;
constexpr size_t kProofLen = 28;
constexpr size_t kCheckLen = 5;
constexpr size_t kMaxKeyBody = KEY_AREA_SIZE - KEY_HEAD_SIZE;  // 1014

// Everything the exchange keeps until the reply has been processed. Every
// byte of it is wiped when the login ends, whichever way it ends.
struct LoginState {
    uint8_t request[kRequestSize];
    uint8_t reply[kReplySize];
    uint8_t inner[kInnerSize];
    uint8_t envelope[kEnvelopeSize];
    uint8_t password[kPasswordSize];
    uint8_t password_hash[16];
    uint8_t proof[kProofLen];
    uint8_t key[8];
    uint8_t salt[4];
    uint8_t challenge[4];
    const uint8_t* nonce = nullptr;
    const uint8_t* pad = nullptr;

    ~LoginState() { rt::wipe(this, sizeof *this); }
};

// Reads an SkEnvelope head; C on success, -1 when a field differs or the
// head does not fit.
long envelope_head(std::span<const uint8_t> s) {
    rt::Reader r(s);
    uint32_t tag = r.le32();
    uint32_t kind = r.le32();
    uint16_t c = r.le16();
    r.le16();  // plain length, not used
    if (!r.ok() || tag != SK_TAG || kind != SK_KIND) return -1;
    return c;
}

// The upper-cased password hashed with the salt; the caller has checked
// that the password fits its buffer.
void hash_password(LoginState* st, const char* password) {
    const size_t len = std::strlen(password);
    for (size_t i = 0; i < len; ++i) {
        char ch = password[i];
        st->password[i] = static_cast<uint8_t>(ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch);
    }
    st->password[len] = 0;
    shuffle(st->salt, st->password, static_cast<int>(len), st->password_hash);
    rt::wipe(st->password, sizeof st->password);
}

int login_start(NcpConnection* conn, LoginState* st, NWDSBuf* req, NWDSBuf* reply) {
    NWDSBufSetup(req, st->request, sizeof st->request);
    NWDSBufInit(req, kVerbLoginStart);
    if (NWDSBufPut32(req, 0) != 0 || NWDSBufPut32(req, conn->user_id) != 0) return 1;
    NWDSBufSetup(reply, st->reply, sizeof st->reply);
    if (ncp_send_nds_frag(conn, req, reply) != 0) return 1;
    if (!ncp_nds_completed(reply)) return 1;
    if (NWDSBufGet(reply, st->salt, 4) != 0 || NWDSBufGet(reply, st->challenge, 4) != 0) return 1;
    return reply->failed ? 1 : 0;
}

// The inner request: nonce, pad length, pad, and the login proof with its
// length; then sealed for the server.
int seal_inner(NcpConnection* conn, LoginState* st, NWDSBuf* sealed) {
    size_t proof_len = 0;
    __NWEncryptWithSK(st->password_hash, sizeof st->password_hash, st->challenge, 4, st->proof,
                      &proof_len);
    if (proof_len != kProofLen) return 1;

    NWDSBuf inner;
    NWDSBufSetup(&inner, st->inner, sizeof st->inner);
    uint8_t* nonce = NWDSBufPutPtr(&inner, kNonceLen);
    if (nonce == nullptr || fillrandom(nonce, kNonceLen) != 0) return 1;
    if (NWDSBufPut32(&inner, kPadLen) != 0) return 1;
    uint8_t* pad = NWDSBufPutPtr(&inner, kPadLen);
    if (pad == nullptr || fillrandom(pad, kPadLen) != 0) return 1;
    if (NWDSBufPutWithLen(&inner, st->proof, kProofLen) != 0) return 1;
    st->nonce = nonce;
    st->pad = pad;

    NWDSBufSetup(sealed, st->envelope, sizeof st->envelope);
    return rsa_crypt2(conn->server_key, &inner, sealed);
}

int login_finish(NcpConnection* conn, LoginState* st, NWDSBuf* sealed, NWDSBuf* req,
                 NWDSBuf* reply) {
    size_t sealed_len = 0;
    const uint8_t* sealed_data = NWDSBufRetrieve(sealed, &sealed_len);
    NWDSBufSetup(req, st->request, sizeof st->request);
    NWDSBufInit(req, kVerbLoginFinish);
    if (NWDSBufPut32(req, 2) != 0 || NWDSBufPut32(req, 1) != 0 ||
        NWDSBufPut32(req, conn->user_id) != 0 ||
        NWDSBufPutWithLen(req, sealed_data, sealed_len) != 0)
        return 1;
    NWDSBufInit(reply, 0);
    if (ncp_send_nds_frag(conn, req, reply) != 0) return 1;
    return ncp_nds_completed(reply) ? 0 : 1;
}

// Opens the inner envelope (k masked bytes already unmasked) and stores the
// private key it carries in the connection record.
int take_private_key(NcpConnection* conn, LoginState* st, std::span<uint8_t> inner) {
    long c2 = envelope_head(inner);
    if (c2 < 0 || SK_HEAD_SIZE + static_cast<size_t>(c2) > inner.size()) return 1;
    std::span<uint8_t> data = inner.subspan(SK_HEAD_SIZE, static_cast<size_t>(c2));

    sk_envelope_key(st->password_hash, sizeof st->password_hash, st->key);
    nwdecryptblock(st->key, data.data(), static_cast<int>(data.size()), data.data());
    rt::wipe(st->key, sizeof st->key);

    rt::Reader r(data);
    uint32_t one = r.le32();
    uint16_t two = r.le16();
    uint16_t body_len = r.le16();
    std::span<const uint8_t> body = r.bytes(body_len);
    if (!r.ok() || one != 1 || two != 2 || body_len > kMaxKeyBody) return 1;

    rt::wipe(conn->private_key, sizeof conn->private_key);
    conn->private_key_len = 0;
    rt::Writer w(std::span<uint8_t>(conn->private_key, sizeof conn->private_key));
    w.bytes(KEY_HEADER.data(), KEY_HEADER.size());
    w.le16(body_len);
    w.bytes(body.data(), body.size());
    if (!w.ok() || checkkey(std::span<const uint8_t>(conn->private_key)) != 1) {
        rt::wipe(conn->private_key, sizeof conn->private_key);
        return 1;
    }
    conn->private_key_len = static_cast<uint32_t>(body_len) + KEY_HEAD_SIZE;
    return 0;
}

// Opens the key blob of the login completion reply.
int open_key_blob(NcpConnection* conn, LoginState* st, std::span<uint8_t> blob) {
    long c1 = envelope_head(blob);
    if (c1 < 0 || SK_HEAD_SIZE + static_cast<size_t>(c1) > blob.size()) return 1;
    const size_t clen = static_cast<size_t>(c1);
    if (clen < 8 + kCheckLen) return 1;  // nonce, k and the check value at least
    std::span<uint8_t> part = blob.subspan(SK_HEAD_SIZE, clen);

    sk_envelope_key(st->proof, sizeof st->proof, st->key);
    nwdecryptblock(st->key, part.data(), static_cast<int>(part.size()), part.data());
    rt::wipe(st->key, sizeof st->key);

    uint8_t check[kCheckLen] = {};
    nwhash1(check, kCheckLen, part.data(), static_cast<int>(clen - kCheckLen));
    if (std::memcmp(check, part.data() + clen - kCheckLen, kCheckLen) != 0) return 1;

    rt::Reader r(part.first(clen - kCheckLen));
    std::span<const uint8_t> nonce = r.bytes(kNonceLen);
    uint32_t k = r.le32();
    if (!r.ok() || std::memcmp(nonce.data(), st->nonce, kNonceLen) != 0) return 1;
    if (k > kPadLen || k > r.left()) return 1;

    std::span<uint8_t> masked = part.subspan(8, k);
    for (size_t i = 0; i < k; ++i) masked[i] ^= st->pad[i];
    return take_private_key(conn, st, masked);
}

// A key of an earlier login is of no use any more.
void forget_private_key(NcpConnection* conn) {
    rt::wipe(conn->private_key, sizeof conn->private_key);
    conn->private_key_len = 0;
}

// The user's public key, which the authentication needs with the private
// one. A modulus larger than the proof's arithmetic holds fails the login
// here, before any arithmetic on the key (NCP_FAIL_KEY_SIZE, its bits).
int read_public_key(NcpConnection* conn) {
    if (ncp_NDS_READ1(conn, conn->user_id, "Public Key", nullptr, conn->user_key, &conn->user_key_len) != 0) return 1;
    if (unwrapkey(std::span<uint8_t>(conn->user_key), &conn->user_key_len) != 0) return 1;
    const uint8_t* body = nullptr;
    uint32_t body_len = 0;
    const uint8_t* nn = nullptr;
    if (initkey(conn->user_key, &body, &body_len) != 1) return 1;
    const uint32_t nn_len = findchunk(body, static_cast<int32_t>(body_len), "NN", &nn);
    if (nn == nullptr) return 1;
    const int bits = countbits_l(nn, nn_len);
    if (bits > AUTH_MAX_MODULUS_BITS) {
        conn->failure = NcpFailure{NCP_FAIL_KEY_SIZE, 0, 0, 0, bits};
        return 1;
    }
    return 0;
}

}  // namespace

int do_login(NcpConnection* conn, std::span<const uint16_t> user, const char* password) {
    conn->failure = NcpFailure{};
    forget_private_key(conn);
    if (password == nullptr) return 1;
    if (!user.empty() && user[0] == '.') user = user.subspan(1);
    if (user.size() >= kNameUnits) return 1;
    if (std::strlen(password) >= kPasswordSize) return 1;
    std::copy(user.begin(), user.end(), conn->user_name);
    conn->user_name[user.size()] = 0;
    conn->user_id = resolve(conn, user);
    if (conn->user_id == 0xFFFFFFFFu) return 1;

    LoginState st{};
    NWDSBuf req;
    NWDSBuf reply;
    NWDSBuf sealed;
    if (login_start(conn, &st, &req, &reply) != 0) return 1;
    hash_password(&st, password);
    if (seal_inner(conn, &st, &sealed) != 0) return 1;
    if (login_finish(conn, &st, &sealed, &req, &reply) != 0) return 1;

    if (NWDSBufGet(&reply, conn->login_info, sizeof conn->login_info) != 0) return 1;
    // The blob must lie wholly within the received reply.
    uint32_t m = NWDSBufGet32(&reply);
    uint8_t* blob = NWDSBufGetPtr(&reply, m);
    if (blob == nullptr) return 1;
    if (open_key_blob(conn, &st, std::span<uint8_t>(blob, m)) != 0) return 1;
    if (read_public_key(conn) != 0) {
        forget_private_key(conn);
        return 1;
    }
    return 0;
}

int do_login(NcpConnection* conn, const char* user, const char* password) {
    if (user == nullptr) {
        forget_private_key(conn);
        return 1;
    }
    // One unit more than a name can have after its leading dot, so that a
    // longer name still fails there, without being cut to fit.
    uint16_t units[kNameUnits + 1];
    const size_t n = strnlen(user, std::size(units));
    for (size_t i = 0; i < n; ++i) units[i] = static_cast<uint8_t>(user[i]);
    return do_login(conn, std::span<const uint16_t>(units, n), password);
}
