// RSA key pairs for the server and the users, generated at start with
// OpenSSL's big numbers, and the raw RSA operations the login needs.
#pragma once

#include <openssl/bn.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace ts {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn bn_new();
// Little-endian bytes to a number and back (the byte order of every key chunk).
Bn bn_from_le(std::span<const uint8_t> bytes);
std::vector<uint8_t> bn_to_le(const BIGNUM* b);             // minimal length, at least 1 byte
bool bn_to_le_fixed(const BIGNUM* b, std::span<uint8_t> out);  // false when it does not fit

struct RsaKey {
    Bn n, e, d, p, q, dp, dq, cr;  // cr = q^-1 mod p
    int bits = 0;
};

// A key pair whose modulus has exactly bits bits, with e = 65537. With
// q_above_p the prime q exceeds p, otherwise p exceeds q. False when OpenSSL
// fails.
bool rsa_generate(int bits, bool q_above_p, RsaKey& out);

// r = a^x mod the key's modulus.
bool rsa_modexp(const BIGNUM* a, const BIGNUM* x, const BIGNUM* m, BIGNUM* r);

}  // namespace ts
