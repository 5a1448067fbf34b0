// A scripted directory for the login and authentication tests: it answers
// verbs 1, 3 and 57 to 60 the way a server does, opening the sealed login
// request with its OpenSSL private key and checking the proof with BIGNUM.
// Faults make it send replies that break one length or check each.
#pragma once

#include <memory>
#include <string>

#include "fakes.h"
#include "ncpclient/ncpclient.h"
#include "oracle.h"

enum class Fault {
    None,
    BadNonce,           // the deciphered blob starts with another nonce
    BadOuterCheck,      // outer check value does not match
    OuterHeadKind,      // outer head field other than 0x00060001
    OuterLongerThanBlob,  // C1 reaches past the blob
    OuterTooShort,      // C1 = 8: no room for nonce, k and the check value
    KPastData,          // k reaches past the deciphered data
    KHuge,              // k = 0xFFFFFFF8
    InnerPastMasked,    // the inner envelope reaches past the k masked bytes
    InnerHeadTag,       // inner head field other than 1
    BodyPastInner,      // the key body reaches past the inner envelope
    InnerNotOneTwo,     // deciphered inner data does not start with 1 and 2
    KeyCheckWrong,      // the private key's check value does not match
    BlobPastReply,      // m counts more bytes than arrived
    BlobHuge,           // m = 0xFFFFFFFF
};

struct Directory {
    RsaKey server;
    RsaKey user;
    uint32_t user_id = 0x00A1B2C3;
    Bytes salt = {0x11, 0x22, 0x33, 0x44};
    Bytes challenge = {0xC1, 0xC2, 0xC3, 0xC4};
    std::string password = "Secret-Pw1";
    Bytes login_info = {0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58};
    Bytes auth_nonce = {0xA0, 0xA1, 0xA2, 0xA3};
    Fault fault = Fault::None;
    uint32_t code57 = 0, code58 = 0, code59 = 0, code60 = 0;
    bool resolve_fails = false;
    bool drop58 = false;  // the verb-58 exchange fails
    Bytes user_key_value;  // "Public Key" value of the user; built from `user` when empty

    // What the directory saw.
    std::string resolved;
    Bytes inner;          // the opened inner login request
    bool login_proof_ok = false;
    Bytes credential;
    std::string proof_verdict = "not sent";

    std::optional<Bytes> handle(uint32_t verb, const Bytes& req);
    Bytes private_body() const;

private:
    std::optional<Bytes> login_finish(const Bytes& req);
    std::optional<Bytes> auth_proof(const Bytes& req);
};

// A connection record with the directory's server key in place, and the
// directory installed as the NDS peer.
std::unique_ptr<NcpConnection> connect_to(Directory* dir);
