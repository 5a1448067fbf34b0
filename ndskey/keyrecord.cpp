// Key records: the fixed head, the tagged chunks, the "MA" check value and
// the record inside a "Public Key" attribute value. Every function stays
// within the storage it is given; a record that does not fit is rejected.
#include "ndskey/keyrecord.h"

#include <cstring>

#include "nwcrypto/nwcrypto.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"

namespace {

constexpr uint32_t kCheckTail = 20;    // body bytes after the hashed part
constexpr size_t kCheckSize = 8;       // bytes of the "MA" check value
constexpr size_t kSkipCountAt = 10;    // skip count inside a "Public Key" value
constexpr size_t kRecordBase = 26;     // the record starts at skip count + 26

}  // namespace

int initkey(std::span<const uint8_t> record, const uint8_t** body, uint32_t* body_len) {
    rt::Reader r(record);
    std::span<const uint8_t> head = r.bytes(KEY_HEADER.size());
    uint16_t len = r.le16();
    if (!r.ok()) return 0;
    if (std::memcmp(head.data(), KEY_HEADER.data(), KEY_HEADER.size()) != 0) return 0;
    if (body != nullptr) *body = record.data() + KEY_HEAD_SIZE;
    if (body_len != nullptr) *body_len = len;
    return 1;
}

uint32_t findchunk(const uint8_t* body, int32_t len, const char* tag, const uint8_t** data) {
    if (data != nullptr) *data = nullptr;
    if (body == nullptr || tag == nullptr || len <= 0) return 0;
    rt::Reader r(std::span<const uint8_t>(body, static_cast<size_t>(len)));
    while (r.left() > 0) {
        std::span<const uint8_t> name = r.bytes(2);
        uint8_t a = r.u8();
        uint8_t b = r.u8();
        size_t n = static_cast<size_t>(a) + b;
        std::span<const uint8_t> chunk = r.bytes(n);
        // A chunk whose head or data runs past the body is not there.
        if (!r.ok()) return 0;
        if (name[0] == static_cast<uint8_t>(tag[0]) && name[1] == static_cast<uint8_t>(tag[1])) {
            if (data != nullptr) *data = chunk.data();  // valid even for empty data
            return static_cast<uint32_t>(n);
        }
    }
    return 0;
}

int checkkey(std::span<const uint8_t> record) {
    const uint8_t* body = nullptr;
    uint32_t len = 0;
    if (initkey(record, &body, &len) != 1) return 0;
    if (KEY_HEAD_SIZE + len > record.size()) return 0;
    const uint8_t* ma = nullptr;
    uint32_t ma_len = findchunk(body, static_cast<int32_t>(len), "MA", &ma);
    if (ma_len == 0) return 0;
    if (len < kCheckTail) return 0;
    // The check value is 8 bytes; a shorter "MA" chunk cannot hold it.
    if (ma_len < kCheckSize) return 0;
    uint8_t state[kCheckSize] = {};
    nwhash1(state, static_cast<int>(kCheckSize), body, static_cast<int>(len - kCheckTail));
    return std::memcmp(state, ma, kCheckSize) == 0 ? 1 : 0;
}

void copyfill(void* dst, size_t dstlen, const void* src, size_t srclen) {
    size_t n = srclen < dstlen ? srclen : dstlen;
    if (n != 0) std::memmove(dst, src, n);
    if (dstlen > n) std::memset(static_cast<uint8_t*>(dst) + n, 0, dstlen - n);
}

int countbits_l(const uint8_t* s, size_t len) {
    if (s == nullptr || len == 0) return 0;
    size_t i = len - 1;
    while (i > 0 && s[i] == 0) --i;
    int bits = 0;
    for (unsigned v = s[i]; v != 0; v >>= 1) ++bits;
    return static_cast<int>(8 * i) + bits;
}

int unwrapkey(std::span<uint8_t> key_area, uint32_t* len) {
    if (len == nullptr) return 1;
    size_t value_len = *len;
    if (value_len > key_area.size()) return 1;
    rt::Reader r(std::span<const uint8_t>(key_area.data(), value_len));
    r.skip(kSkipCountAt);
    uint16_t skip = r.le16();
    if (!r.ok()) return 1;
    size_t at = kRecordBase + skip;
    if (at > value_len) return 1;
    std::span<const uint8_t> record(key_area.data() + at, key_area.size() - at);
    uint32_t body_len = 0;
    if (initkey(record, nullptr, &body_len) != 1) return 1;
    // The head is not counted here, so the record's last 10 bytes may lie
    // beyond the value, inside the key area (checkkey keeps them inside it).
    if (at + body_len > value_len) return 1;
    if (checkkey(record) != 1) return 1;
    std::memmove(key_area.data(), record.data(), KEY_HEAD_SIZE + body_len);
    *len = body_len;
    return 0;
}
