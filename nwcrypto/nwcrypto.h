// NetWare cryptographic primitives: the keyless NDS hashes, the block cipher
// (RC2, 8-byte key, 64 effective bits, CBC with a zero IV) and the password
// shuffle hash. All work on caller memory, allocate nothing and cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- NDS hashes -----------------------------------------------------------

// Hashes datalen bytes into the hashlen-byte state at hash (hashlen >= 2).
// The bytes already in hash are the starting state.
void nwhash1(uint8_t* hash, int hashlen, const uint8_t* data, int datalen);

// Streaming 16-byte digest over a 66-byte state that the caller zeroes first.
constexpr size_t NWHASH2_STATE_SIZE = 66;
void nwhash2(uint8_t* state, uint8_t c);
void nwhash2block(uint8_t* state, const uint8_t* data, int len);
void nwhash2end(uint8_t* state);  // digest in state[0..15]

// ---- Block cipher ---------------------------------------------------------

struct NwCryptKey {
    uint16_t k[64];
};

uint16_t rol16(uint16_t value, int count);
uint16_t ror16(uint16_t value, int count);
void nwcryptinit(NwCryptKey* schedule, const uint8_t* key /* 8 bytes */);
void nwencrypt(const NwCryptKey* schedule, const uint8_t* in, uint8_t* out);  // one 8-byte block
void nwdecrypt(const NwCryptKey* schedule, const uint8_t* in, uint8_t* out);
// CBC with a zero IV over the first floor(len / 8) blocks; out may equal in.
void nwencryptblock(const uint8_t* key, const uint8_t* in, int len, uint8_t* out);
void nwdecryptblock(const uint8_t* key, const uint8_t* in, int len, uint8_t* out);

// ---- Password shuffle hash ------------------------------------------------

void shuffle(const uint8_t* objectid /* 4 bytes */, const uint8_t* password, int length,
             uint8_t* out /* 16 bytes */);
void shuffle1(uint8_t* block /* 32 bytes, mixed in place */, uint8_t* out /* 16 bytes */);
