// Independent helpers for the login and authentication tests: RSA keys and
// big-number arithmetic from OpenSSL's BIGNUM, RC2-CBC from OpenSSL's EVP,
// and builders for key records; SkEnvelopes opened with OpenSSL's RC2.
#pragma once

#include <openssl/bn.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn bn_le(std::span<const uint8_t> le);
Bytes le_of(const BIGNUM* b, size_t width);  // width 0: minimal length
Bn bn_modexp(const BIGNUM* base, const BIGNUM* exp, const BIGNUM* mod);

// An RSA key with its CRT parts, every number as minimal little-endian bytes.
struct RsaKey {
    int bits = 0;
    Bytes n, e, d, p, q, dp, dq, cr;  // cr = q^-1 mod p
};
// A key whose modulus has exactly `bits` bits; p gets p_bits bits (default
// half). q_above_p orders the primes so that Q > P.
RsaKey make_rsa(int bits, bool q_above_p = false, int p_bits = 0);

// Key records.
Bytes chunk(const char* tag, std::span<const uint8_t> data);
// Body of the given chunks followed by the 20-byte "MA" chunk with its check value.
Bytes key_body(const std::vector<std::pair<const char*, Bytes>>& chunks);
Bytes key_record(std::span<const uint8_t> body);
Bytes public_record(const RsaKey& k);
Bytes private_body(const RsaKey& k);
std::array<uint8_t, 1024> key_area(std::span<const uint8_t> record);

// RC2 with an 8-byte key, 64 effective bits, CBC with a zero IV, no padding.
Bytes rc2_cbc(const uint8_t* key, std::span<const uint8_t> in, bool encrypt);

// The envelope key of a secret, and SkEnvelopes opened with OpenSSL's RC2.
std::array<uint8_t, 8> oracle_envelope_key(std::span<const uint8_t> secret);
// The plain data, or nothing when the head, the pad bytes or the check value is wrong.
std::optional<Bytes> oracle_open(std::span<const uint8_t> secret, std::span<const uint8_t> env);

// Checks an authentication proof the way the server does: for each round i,
// Y_i^E == X_i * H^(w_i) mod N, with H the digest of the credential and w_i
// from the digest over the challenge message and the commitments. Empty on
// success, else what is wrong.
std::string proof_fault(const RsaKey& k, std::span<const uint8_t> proof, const uint8_t* nonce,
                        std::span<const uint8_t> cred);
