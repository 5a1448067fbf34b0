// The symmetric envelope of the login exchange: a 12-byte head (1,
// 0x00060001, enciphered length C, plain length n) and the data padded with
// 1..8 bytes of the pad value, a 5-byte nwhash1 check, all enciphered with
// RC2-CBC (OpenSSL) under a key hashed from a secret.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ts {

// Loads OpenSSL's legacy provider (RC2 lives there). Call once at start.
bool crypto_init();
void crypto_shutdown();

// nwhash1 over the secret ten times into 8 zero bytes.
std::array<uint8_t, 8> envelope_key(std::span<const uint8_t> secret);

// RC2 (8-byte key, 64 effective bits) in CBC mode with a zero IV over whole
// 8-byte blocks, in place. False when OpenSSL fails or len is not a multiple of 8.
bool rc2_cbc(const std::array<uint8_t, 8>& key, std::span<uint8_t> data, bool encrypt);

// A whole envelope of data under the secret's key.
bool sk_seal(std::span<const uint8_t> secret, std::span<const uint8_t> data,
             std::vector<uint8_t>& out);

// Opens an envelope that must fill env exactly; checks the head, the
// lengths, the pad bytes and the check value. On failure why says what was
// wrong.
bool sk_open(std::span<const uint8_t> secret, std::span<const uint8_t> env,
             std::vector<uint8_t>& plain, std::string& why);

}  // namespace ts
