// NetWare cryptographic primitives: the keyless NDS hashes, the block cipher
// (RC2, 8-byte key, 64 effective bits, CBC with a zero IV) and the password
// shuffle hash. All work on caller memory, allocate nothing and cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// ---- NDS hashes -----------------------------------------------------------

// Hashes datalen bytes into the hashlen-byte state at hash (hashlen >= 2).
// The bytes already in hash are the starting state.
void nwhash1(uint8_t* hash, int hashlen, const uint8_t* data, int datalen);

// Streaming 16-byte digest over a 66-byte state that the caller zeroes first.
constexpr size_t NWHASH2_STATE_SIZE = 66;
void nwhash2(std::span<uint8_t, NWHASH2_STATE_SIZE> state, uint8_t c);
void nwhash2block(std::span<uint8_t, NWHASH2_STATE_SIZE> state, const uint8_t* data, int len);
void nwhash2end(std::span<uint8_t, NWHASH2_STATE_SIZE> state);  // digest in state[0..15]

// ---- Block cipher ---------------------------------------------------------

struct NwCryptKey {
    uint16_t k[64];
};

uint16_t rol16(uint16_t value, int count);
uint16_t ror16(uint16_t value, int count);
void nwcryptinit(NwCryptKey* schedule, std::span<const uint8_t, 8> key);
// One block; in and out may be the same memory.
void nwencrypt(const NwCryptKey* schedule, std::span<const uint8_t, 8> in, std::span<uint8_t, 8> out);
void nwdecrypt(const NwCryptKey* schedule, std::span<const uint8_t, 8> in, std::span<uint8_t, 8> out);
// CBC with a zero IV over the first floor(len / 8) blocks; out may equal in.
void nwencryptblock(std::span<const uint8_t, 8> key, const uint8_t* in, int len, uint8_t* out);
void nwdecryptblock(std::span<const uint8_t, 8> key, const uint8_t* in, int len, uint8_t* out);

// ---- Password shuffle hash ------------------------------------------------

void shuffle(std::span<const uint8_t, 4> objectid, const uint8_t* password, int length,
             std::span<uint8_t, 16> out);
// block is mixed in place.
void shuffle1(std::span<uint8_t, 32> block, std::span<uint8_t, 16> out);
