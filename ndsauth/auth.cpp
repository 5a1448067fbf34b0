// Authentication of a logged-in connection: fetch the user's public key, ask
// the server for a nonce, name the user in a credential and prove possession
// of the private key over it.
#include <ctime>
#include <span>

#include "ndsauth/ndsauth.h"
#include "runtime/cursor.h"
#include "runtime/wipe.h"

namespace {

constexpr uint32_t kVerbAuthStart = 59;
constexpr uint32_t kVerbAuthProof = 60;
constexpr size_t kNameUnits = sizeof(NcpConnection::user_name) / sizeof(uint16_t);
constexpr size_t kCredentialMax = 24 + 2 * (kNameUnits - 1);
// Room for the proof of the largest key the precision holds and, in the
// request, that proof with the longest credential.
constexpr size_t kProofSize = 1024;
constexpr size_t kRequestSize = 1536;
constexpr size_t kReplySize = 1024;
static_assert(AUTH_MAX_PROOF <= kProofSize);
static_assert(16 + rt::pad4(kCredentialMax) + AUTH_MAX_PROOF <= kRequestSize);

struct AuthBuffers {
    uint8_t request[kRequestSize];
    uint8_t reply[kReplySize];
    uint8_t proof[kProofSize];
    uint8_t credential[kCredentialMax];

    ~AuthBuffers() { rt::wipe(this, sizeof *this); }
};

int auth_start(NcpConnection* conn, AuthBuffers* b, NWDSBuf* req, NWDSBuf* reply) {
    NWDSBufSetup(req, b->request, sizeof b->request);
    NWDSBufInit(req, kVerbAuthStart);
    if (NWDSBufPut32(req, 0) != 0 || NWDSBufPut32(req, conn->user_id) != 0 ||
        NWDSBufPut32(req, conn->auth_time) != 0)
        return 1;
    NWDSBufSetup(reply, b->reply, sizeof b->reply);
    if (ncp_send_nds_frag(conn, req, reply) != 0) return 1;
    if (!ncp_nds_completed(reply)) return 1;
    if (NWDSBufGet(reply, conn->auth_nonce, sizeof conn->auth_nonce) != 0) return 1;
    return reply->failed ? 1 : 0;
}

// The credential that names the user; its length, or 0 when the name in the
// record has no terminating unit.
size_t build_credential(const NcpConnection* conn, AuthBuffers* b) {
    size_t n = 0;
    while (n < kNameUnits && conn->user_name[n] != 0) ++n;
    if (n == kNameUnits) return 0;
    const size_t len = 24 + 2 * n;
    rt::Writer w(std::span<uint8_t>(b->credential, len));
    w.le32(1);
    w.le16(6);
    w.bytes(conn->login_info, sizeof conn->login_info);
    uint8_t* random = w.reserve(4);
    if (random == nullptr || fillrandom(random, 4) != 0) return 0;
    w.le16(0);
    w.le16(static_cast<uint16_t>(2 * n + 2));
    for (size_t i = 0; i <= n; ++i) w.le16(conn->user_name[i]);
    return w.ok() ? len : 0;
}

}  // namespace

rt::WipedBlock allocfillchunk(const uint8_t* body, uint32_t len, const char* tag, size_t size) {
    const uint8_t* data = nullptr;
    const uint32_t data_len = findchunk(body, static_cast<int32_t>(len), tag, &data);
    if (data == nullptr || size == 0) return rt::WipedBlock();
    rt::WipedBlock block(size);
    if (block.valid()) copyfill(block.bytes(), size, data, data_len);
    return block;
}

namespace {

// The user's public key is the one the login read.
int authenticate(NcpConnection* conn) {
    conn->auth_time = static_cast<uint32_t>(std::time(nullptr));

    AuthBuffers b{};
    NWDSBuf req;
    NWDSBuf reply;
    if (auth_start(conn, &b, &req, &reply) != 0) return 1;
    const size_t cred_len = build_credential(conn, &b);
    if (cred_len == 0) return 1;

    NWDSBuf proof;
    NWDSBufSetup(&proof, b.proof, sizeof b.proof);
    if (gen_auth_data(&proof, conn->user_key, conn->private_key, conn->auth_nonce, b.credential,
                      cred_len) != 0)
        return 1;
    size_t proof_len = 0;
    const uint8_t* proof_data = NWDSBufRetrieve(&proof, &proof_len);

    NWDSBufSetup(&req, b.request, sizeof b.request);
    NWDSBufInit(&req, kVerbAuthProof);
    if (NWDSBufPut32(&req, 0) != 0 || NWDSBufPut32(&req, 0) != 0 ||
        NWDSBufPutWithLen(&req, b.credential, cred_len) != 0 ||
        NWDSBufPutWithLen(&req, proof_data, proof_len) != 0)
        return 1;
    NWDSBufInit(&reply, 0);
    if (ncp_send_nds_frag(conn, &req, &reply) != 0) return 1;
    return ncp_nds_completed(&reply) ? 0 : 1;
}

}  // namespace

// The private key serves this one proof; a new connection logs in afresh, so
// it is wiped whichever way the authentication ends.
int do_auth(NcpConnection* conn) {
    conn->failure = NcpFailure{};
    const int rc = authenticate(conn);
    rt::wipe(conn->private_key, sizeof conn->private_key);
    conn->private_key_len = 0;
    return rc;
}
