// The two-layer envelope that seals the login request for the server: a fresh
// 28-byte secret goes to the server under its RSA public key, and the request
// itself goes in an SkEnvelope (RC2-CBC under a key hashed from the secret).
#include <cstring>
#include <span>

#include "mparith/mparith.h"
#include "ndsauth/ndsauth.h"
#include "nwcrypto/nwcrypto.h"
#include "runtime/cursor.h"
#include "runtime/wipe.h"

namespace {

constexpr size_t kSecretLen = 28;
constexpr size_t kRsaBlock = 56;
constexpr uint8_t kBlockFill = 0x0B;
// Bytes of the sealed form before the SkEnvelope: fixed head, outer length,
// fixed key-block head, RSA block, envelope length.
constexpr uint8_t kSealHead[8] = {0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x00};
constexpr uint8_t kBlockHead[16] = {0x41, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x09, 0x00, 0x35, 0x00, 0x1C, 0x00};
constexpr size_t kSealPrefix = 8 + 4 + 16 + kRsaBlock + 4;  // 88
constexpr size_t kOuterCounted = 16 + kRsaBlock + 4;        // 76: after the outer length

// Fills the RSA block: 0x0B, the secret, eleven 0x0B, the two check values
// and five random bytes; the top four bytes stay zero.
int build_rsa_block(uint8_t* block, const uint8_t* secret) {
    std::memset(block, 0, kRsaBlock);
    block[0] = kBlockFill;
    std::memcpy(block + 1, secret, kSecretLen);
    std::memset(block + 1 + kSecretLen, kBlockFill, 11);
    nwhash1(block + 40, 5, block + 1, 39);
    nwhash1(block + 45, 2, block, 45);
    return fillrandom(block + 47, 5);
}

}  // namespace

void sk_envelope_key(const uint8_t* secret, size_t secret_len, std::span<uint8_t, 8> key) {
    std::memset(key.data(), 0, key.size());
    for (int pass = 0; pass < 10; ++pass)
        nwhash1(key.data(), static_cast<int>(key.size()), secret, static_cast<int>(secret_len));
}

void __AlignAndEncryptBlockWithSK(std::span<const uint8_t, 8> key, const uint8_t* data, size_t n,
                                  std::span<uint8_t> dest, size_t* c_out) {
    *c_out = 0;
    const size_t c = sk_cipher_len(n);
    if (c > dest.size()) return;
    const size_t pad = c - n - 5;
    rt::Writer w(dest.first(c));
    w.bytes(data, n);
    uint8_t* fill = w.reserve(pad);
    uint8_t* check = w.reserve(5);
    std::memset(fill, static_cast<int>(pad), pad);
    std::memset(check, 0, 5);
    nwhash1(check, 5, dest.data(), static_cast<int>(n + pad));
    nwencryptblock(key, dest.data(), static_cast<int>(c), dest.data());
    *c_out = c;
}

void __NWEncryptWithSK(const uint8_t* secret, size_t secret_len, const uint8_t* data, size_t n,
                       std::span<uint8_t> dest, size_t* total_out) {
    *total_out = 0;
    if (SK_HEAD_SIZE + sk_cipher_len(n) > dest.size()) return;
    uint8_t key[8];
    sk_envelope_key(secret, secret_len, key);
    size_t c = 0;
    __AlignAndEncryptBlockWithSK(key, data, n, dest.subspan(SK_HEAD_SIZE), &c);
    rt::wipe(key, sizeof key);

    rt::Writer w(dest.first(SK_HEAD_SIZE));
    w.le32(SK_TAG);
    w.le32(SK_KIND);
    w.le16(static_cast<uint16_t>(c));
    w.le16(static_cast<uint16_t>(n));
    *total_out = SK_HEAD_SIZE + c;
}

int modexpkey(const uint8_t* key, size_t key_storage, const uint8_t* in, uint8_t* out, size_t len) {
    const uint8_t* body = nullptr;
    uint32_t body_len = 0;
    if (initkey(std::span<const uint8_t>(key, key_storage), &body, &body_len) != 1) return 1;
    if (body_len > key_storage - KEY_HEAD_SIZE) return 1;

    const uint8_t* nn = nullptr;
    const uint32_t nn_len = findchunk(body, static_cast<int32_t>(body_len), "NN", &nn);
    if (nn == nullptr || nn_len == 0) return 1;
    const int bits = countbits_l(nn, nn_len);
    if (bits < MP_MIN_MODULUS_BITS) return 1;
    const size_t n = static_cast<size_t>((bits + 31) / 32) * 4;
    if (n / 2 > static_cast<size_t>(MP_MAX_UNITS)) return 1;

    const uint8_t* en = nullptr;
    const uint32_t en_len = findchunk(body, static_cast<int32_t>(body_len), "EN", &en);
    if (en == nullptr) return 1;

    const rt::WipedBlock block(4 * n);
    if (!block.valid()) return 1;
    uint8_t* mod = block.bytes();
    uint8_t* exp = mod + n;
    uint8_t* base = mod + 2 * n;
    uint8_t* result = mod + 3 * n;
    copyfill(mod, n, nn, nn_len);
    copyfill(exp, n, en, en_len);
    copyfill(base, n, in, len);

    const MpPrecision width(static_cast<int>(n / 2));
    const int status = mp_modexp(reinterpret_cast<MpUnit*>(result), reinterpret_cast<MpUnit*>(base),
                                 reinterpret_cast<MpUnit*>(exp), reinterpret_cast<MpUnit*>(mod));
    if (status == 0) copyfill(out, len, result, n);
    return status == 0 ? 0 : 1;
}

int rsa_crypt2(std::span<const uint8_t, KEY_AREA_SIZE> server_key, NWDSBuf* src, NWDSBuf* dst) {
    size_t src_len = 0;
    const uint8_t* src_data = NWDSBufRetrieve(src, &src_len);
    if (src_len > 0xFFFF - 13) return 1;  // C and n are 16-bit fields
    const size_t env_len = SK_HEAD_SIZE + sk_cipher_len(src_len);
    const size_t total = kSealPrefix + env_len;
    size_t room = 0;
    NWDSBufPutPtrLen(dst, &room);
    if (room < total) return 1;

    uint8_t secret[kSecretLen];
    uint8_t block[kRsaBlock];
    int rc = fillrandom(secret, sizeof secret);
    if (rc == 0) rc = build_rsa_block(block, secret);
    if (rc == 0) rc = modexpkey(server_key.data(), server_key.size(), block, block, kRsaBlock);
    uint8_t* out = rc == 0 ? NWDSBufPutPtr(dst, total) : nullptr;
    if (out == nullptr) {
        rt::wipe(secret, sizeof secret);
        rt::wipe(block, sizeof block);
        return 1;
    }

    rt::Writer w(std::span<uint8_t>(out, total));
    w.bytes(kSealHead, sizeof kSealHead);
    w.le32(static_cast<uint32_t>(kOuterCounted + env_len));
    w.bytes(kBlockHead, sizeof kBlockHead);
    w.bytes(block, kRsaBlock);
    rt::wipe(block, sizeof block);
    w.le32(static_cast<uint32_t>(env_len));
    uint8_t* env = w.reserve(env_len);
    size_t written = 0;
    if (env != nullptr)
        __NWEncryptWithSK(secret, sizeof secret, src_data, src_len, std::span<uint8_t>(env, env_len), &written);
    rt::wipe(secret, sizeof secret);
    return written == env_len && w.ok() ? 0 : 1;
}
