// NDS login and authentication as a search user: the RSA envelope of the
// login request, the symmetric SkEnvelope, the login exchange that yields the
// user's private key, and the authentication proof.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "ncpclient/ncpclient.h"
#include "ndskey/keyrecord.h"
#include "runtime/wiped_block.h"

// The single source of random bytes (the operating system's generator).
// 0 when all n bytes were filled, 1 when the generator cannot be used.
int fillrandom(void* p, size_t n);

// Sizes of the SkEnvelope: 12-byte head, plain data padded to 8 with its
// 5-byte check value. sk_cipher_len(n) = n + pad + 5, always a multiple of 8.
// The head holds SK_TAG, SK_KIND, then C and n as 16-bit values.
constexpr size_t SK_HEAD_SIZE = 12;
constexpr uint32_t SK_TAG = 1;
constexpr uint32_t SK_KIND = 0x00060001;
constexpr size_t sk_cipher_len(size_t n) { return n + (8 - (n + 5) % 8) + 5; }

// The 8-byte cipher key of an envelope secret: nwhash1 fed the secret ten
// times over a zeroed state.
void sk_envelope_key(const uint8_t* secret, size_t secret_len, std::span<uint8_t, 8> key);

// RSA public-key operation with the record's "NN" and "EN": len little-endian
// bytes at in, raised and reduced, written as len bytes to out (may equal in).
// The record lies in key_storage bytes. Works at the modulus's width and puts
// global_precision back as it found it. 0 or 1.
int modexpkey(const uint8_t* key, size_t key_storage, const uint8_t* in, uint8_t* out, size_t len);

// The enciphered part of an SkEnvelope of the n data bytes, sk_cipher_len(n)
// bytes, into dest; *c_out = its length. When dest is too small nothing is
// written and *c_out = 0.
void __AlignAndEncryptBlockWithSK(std::span<const uint8_t, 8> key, const uint8_t* data, size_t n,
                                  std::span<uint8_t> dest, size_t* c_out);
// A whole SkEnvelope, SK_HEAD_SIZE + sk_cipher_len(n) bytes, into dest;
// *total_out = its length. When dest is too small nothing is written and
// *total_out = 0.
void __NWEncryptWithSK(const uint8_t* secret, size_t secret_len, const uint8_t* data, size_t n,
                       std::span<uint8_t> dest, size_t* total_out);
// Seals the source's content for the server and appends the sealed form at
// dst's cursor. 0 or 1; on 1 nothing is appended.
int rsa_crypt2(std::span<const uint8_t, KEY_AREA_SIZE> server_key, NWDSBuf* src, NWDSBuf* dst);

// Working sizes of the authentication proof for a user modulus of `bits` bits.
struct ProofSizes {
    size_t significant;  // (bits + 7) / 8
    uint8_t top_mask;    // mask for the top significant byte of a random value
    size_t size;         // byte width of every number in the proof
};
ProofSizes proof_sizes(int bits);
// Largest user modulus the precision holds, and the proof it gives.
constexpr int AUTH_MAX_MODULUS_BITS = 1264;
constexpr size_t AUTH_MAX_PROOF = 12 + 6 * 160;


// Logs the user in; on 0 conn->private_key holds the checked private key and
// conn->user_key the user's public key (of at most AUTH_MAX_MODULUS_BITS
// bits: a larger one fails with NCP_FAIL_KEY_SIZE).
// The user name is given as 16-bit code units, or as an 8-bit string whose
// bytes are zero-extended to units; one leading '.' is dropped. The
// password is bytes either way (a-z are hashed as A-Z).
int do_login(NcpConnection* conn, std::span<const uint16_t> user, const char* password);
int do_login(NcpConnection* conn, const char* user, const char* password);
// Proves possession of the private key for conn->user_id; 0 when accepted.
int do_auth(NcpConnection* conn);
// Appends the proof at proof's cursor; on failure nothing is appended. Works
// at the user modulus's width and puts global_precision back as it found it.
// 0 or 1.
int gen_auth_data(NWDSBuf* proof, std::span<const uint8_t, KEY_AREA_SIZE> pubkey,
                  std::span<const uint8_t, KEY_AREA_SIZE> privkey, std::span<const uint8_t, 4> nonce,
                  const uint8_t* cred, size_t credlen);
// A heap block of size bytes holding the chunk's data zero-extended (or cut
// to its low bytes); an empty block when the chunk is missing, size is 0 or
// memory is short. The block is wiped when it is released.
rt::WipedBlock allocfillchunk(const uint8_t* body, uint32_t len, const char* tag, size_t size);
