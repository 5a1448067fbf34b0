// NDS login and authentication as a search user: the RSA envelope of the
// login request, the symmetric SkEnvelope, the login exchange that yields the
// user's private key, and the authentication proof.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ncpclient/ncpclient.h"
#include "ndsauth/keyrecord.h"

// The single source of random bytes (the operating system's generator).
void fillrandom(void* p, size_t n);

// RSA public-key operation with the record's "NN" and "EN": len little-endian
// bytes at in, raised and reduced, written as len bytes to out (may equal in).
int modexpkey(const uint8_t* key, size_t key_storage, const uint8_t* in, uint8_t* out, size_t len);

void __AlignAndEncryptBlockWithSK(const uint8_t* key, const uint8_t* data, size_t n, uint8_t* dest,
                                  size_t* c_out);
void __NWEncryptWithSK(const uint8_t* secret, size_t secret_len, const uint8_t* data, size_t n,
                       uint8_t* dest, size_t* total_out);
int rsa_crypt2(const uint8_t* server_key, NWDSBuf* src, NWDSBuf* dst);

int do_login(NcpConnection* conn, const char* user, const char* password);
int do_auth(NcpConnection* conn);
int gen_auth_data(NWDSBuf* proof, const uint8_t* pubkey, const uint8_t* privkey,
                  const uint8_t* nonce, const uint8_t* cred, size_t credlen);
void* allocfillchunk(const uint8_t* body, uint32_t len, const char* tag, size_t size);
