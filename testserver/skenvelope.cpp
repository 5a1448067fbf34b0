#include "testserver/skenvelope.h"

#include <algorithm>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "nwcrypto/nwcrypto.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"
#include "runtime/wipe.h"

namespace ts {

namespace {
OSSL_PROVIDER* g_legacy = nullptr;
OSSL_PROVIDER* g_default = nullptr;
}  // namespace

bool crypto_init() {
    if (g_legacy == nullptr) g_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    if (g_default == nullptr) g_default = OSSL_PROVIDER_load(nullptr, "default");
    return g_legacy != nullptr && g_default != nullptr;
}

void crypto_shutdown() {
    if (g_legacy != nullptr) OSSL_PROVIDER_unload(g_legacy);
    if (g_default != nullptr) OSSL_PROVIDER_unload(g_default);
    g_legacy = nullptr;
    g_default = nullptr;
}

std::array<uint8_t, 8> envelope_key(std::span<const uint8_t> secret) {
    std::array<uint8_t, 8> key{};
    for (int i = 0; i < 10; ++i) {
        nwhash1(key.data(), 8, secret.data(), static_cast<int>(secret.size()));
    }
    return key;
}

bool rc2_cbc(const std::array<uint8_t, 8>& key, std::span<uint8_t> data, bool encrypt) {
    if (data.size() % 8 != 0) return false;
    if (data.empty()) return true;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr) return false;
    const uint8_t iv[8] = {};
    const int enc = encrypt ? 1 : 0;
    int outl = 0;
    int finl = 0;
    uint8_t tail[16];
    const bool ok =
        EVP_CipherInit_ex(ctx, EVP_rc2_cbc(), nullptr, nullptr, nullptr, enc) == 1 &&
        EVP_CIPHER_CTX_set_key_length(ctx, 8) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, 64, nullptr) == 1 &&
        EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv, enc) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
        EVP_CipherUpdate(ctx, data.data(), &outl, data.data(), static_cast<int>(data.size())) == 1 &&
        EVP_CipherFinal_ex(ctx, tail, &finl) == 1 &&
        static_cast<size_t>(outl) == data.size() && finl == 0;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

static uint8_t pad_of(size_t n) { return static_cast<uint8_t>(8 - ((n + 5) % 8)); }

bool sk_seal(std::span<const uint8_t> secret, std::span<const uint8_t> data,
             std::vector<uint8_t>& out) {
    const uint8_t pad = pad_of(data.size());
    const size_t c = data.size() + pad + 5;
    if (c > 0xFFFF) return false;
    out.assign(12 + c, 0);
    rt::Writer w(out);
    w.le32(1);
    w.le32(0x00060001);
    w.le16(static_cast<uint16_t>(c));
    w.le16(static_cast<uint16_t>(data.size()));
    w.bytes(data.data(), data.size());
    for (uint8_t i = 0; i < pad; ++i) w.u8(pad);
    uint8_t* check = w.reserve(5);
    if (!w.ok() || check == nullptr) return false;
    nwhash1(check, 5, out.data() + 12, static_cast<int>(data.size() + pad));
    std::array<uint8_t, 8> key = envelope_key(secret);
    const bool ok = rc2_cbc(key, std::span<uint8_t>(out).subspan(12), true);
    rt::wipe(key.data(), key.size());
    return ok;
}

bool sk_open(std::span<const uint8_t> secret, std::span<const uint8_t> env,
             std::vector<uint8_t>& plain, std::string& why) {
    rt::Reader r(env);
    const uint32_t one = r.le32();
    const uint32_t kind = r.le32();
    const uint16_t c = r.le16();
    const uint16_t n = r.le16();
    if (!r.ok()) { why = "envelope shorter than its head"; return false; }
    if (one != 1 || kind != 0x00060001) { why = "envelope head is not 1, 0x00060001"; return false; }
    if (r.left() != c) { why = "envelope length C does not match the bytes that follow"; return false; }
    const uint8_t pad = pad_of(n);
    if (static_cast<size_t>(n) + pad + 5 != c) { why = "envelope lengths C and n disagree"; return false; }
    std::vector<uint8_t> work(env.begin() + 12, env.end());
    std::array<uint8_t, 8> key = envelope_key(secret);
    const bool deciphered = rc2_cbc(key, work, false);
    rt::wipe(key.data(), key.size());
    if (!deciphered) { why = "cannot decipher"; return false; }
    bool pad_ok = true;
    for (size_t i = n; i < static_cast<size_t>(n) + pad; ++i) pad_ok = pad_ok && work[i] == pad;
    uint8_t check[5] = {};
    nwhash1(check, 5, work.data(), n + pad);
    const bool check_ok = std::equal(check, check + 5, work.begin() + n + pad);
    if (!pad_ok || !check_ok) {
        rt::wipe(work.data(), work.size());
        why = pad_ok ? "envelope check value does not match" : "envelope pad bytes are wrong";
        return false;
    }
    plain.assign(work.begin(), work.begin() + n);
    rt::wipe(work.data(), work.size());
    return true;
}

}  // namespace ts
