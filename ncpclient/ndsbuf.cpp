// The NDS request buffer: a cursor over caller-owned storage. Writes are
// checked against `limit`, reads against `end` (the end of the bytes really
// received). The cursor never moves past `limit`. The first operation that
// does not fit sets `failed`; a failed buffer reads zero, writes nothing and
// stands still until it is set up or started afresh, so that the verb using
// it fails as a whole.
#include <cstring>

#include "ncpclient/ncpclient.h"
#include "runtime/bytes.h"

namespace {

// Room to write and received bytes to read from the cursor on; none once
// the buffer has failed.
size_t room_left(const NWDSBuf* b) {
    return !b->failed && b->cursor < b->limit ? static_cast<size_t>(b->limit - b->cursor) : 0;
}
size_t bytes_left(const NWDSBuf* b) {
    return !b->failed && b->cursor < b->end ? static_cast<size_t>(b->end - b->cursor) : 0;
}

// Moves the cursor by `step`, stopping at `limit`.
void advance(NWDSBuf* b, size_t step) {
    size_t room = room_left(b);
    b->cursor += step < room ? step : room;
}

// n bytes at the cursor for writing, the cursor moved by `step`; null and
// `failed` when the buffer has failed before or the n bytes do not fit. The
// padding between the n bytes and the new cursor is zeroed, so that no stale
// storage (which may have held secrets of an earlier request) ever goes on
// the wire.
uint8_t* take_write(NWDSBuf* b, size_t n, size_t step) {
    if (b->failed || n > room_left(b)) {
        b->failed = true;
        return nullptr;
    }
    uint8_t* p = b->cursor;
    advance(b, step);
    if (b->cursor > p + n) std::memset(p + n, 0, static_cast<size_t>(b->cursor - (p + n)));
    return p;
}

// n received bytes at the cursor for reading, the cursor moved by `step`;
// null and `failed` as for writing.
const uint8_t* take_read(NWDSBuf* b, size_t n, size_t step) {
    if (b->failed || n > bytes_left(b)) {
        b->failed = true;
        return nullptr;
    }
    const uint8_t* p = b->cursor;
    advance(b, step);
    return p;
}

bool has_count_word(uint32_t verb) {
    switch (verb) {
        case 3: case 4: case 6: case 7: case 9: case 12: case 15: case 16: case 40:
            return true;
        default:
            return false;
    }
}

}  // namespace

void NWDSBufSetup(NWDSBuf* buf, void* storage, size_t size) {
    buf->operation = 0;
    buf->data = static_cast<uint8_t*>(storage);
    buf->cursor = buf->data;
    buf->limit = buf->data + size;
    buf->end = buf->limit;
    buf->count_pos = nullptr;
    buf->failed = false;
}

int NWDSBufInit(NWDSBuf* buf, uint32_t verb) {
    buf->operation = verb;
    buf->cursor = buf->data;
    buf->end = buf->limit;
    buf->failed = false;
    if (!has_count_word(verb)) return 0;
    uint8_t* p = take_write(buf, 4, 4);
    if (p == nullptr) return 1;
    buf->count_pos = p;
    rt::store_le32(p, 0);
    return 0;
}

int NWDSBufPut8(NWDSBuf* buf, uint8_t v) {
    uint8_t* p = take_write(buf, 1, 1);
    if (p == nullptr) return 1;
    *p = v;
    return 0;
}

int NWDSBufPut16(NWDSBuf* buf, uint16_t v) {
    uint8_t* p = take_write(buf, 2, 2);
    if (p == nullptr) return 1;
    rt::store_le16(p, v);
    return 0;
}

int NWDSBufPut32(NWDSBuf* buf, uint32_t v) {
    uint8_t* p = take_write(buf, 4, 4);
    if (p == nullptr) return 1;
    rt::store_le32(p, v);
    return 0;
}

uint16_t NWDSBufGet16(NWDSBuf* buf) {
    const uint8_t* p = take_read(buf, 2, 2);
    return p != nullptr ? rt::load_le16(p) : 0;
}

uint32_t NWDSBufGet32(NWDSBuf* buf) {
    const uint8_t* p = take_read(buf, 4, 4);
    return p != nullptr ? rt::load_le32(p) : 0;
}

int NWDSBufPut(NWDSBuf* buf, const void* bytes, size_t n) {
    size_t room = room_left(buf);
    uint8_t* p = take_write(buf, n, rt::pad4(n));
    if (p == nullptr) return 1;
    if (n != 0) std::memmove(p, bytes, n);
    // Zero the padding, as far as the storage reaches.
    size_t padded = rt::pad4(n) < room ? rt::pad4(n) : room;
    if (padded > n) std::memset(p + n, 0, padded - n);
    return 0;
}

int NWDSBufGet(NWDSBuf* buf, void* dst, size_t n) {
    const uint8_t* p = take_read(buf, n, rt::pad4(n));
    if (p == nullptr) return 1;
    if (n != 0) std::memmove(dst, p, n);
    return 0;
}

int NWDSBufPutWithLen(NWDSBuf* buf, const void* bytes, size_t n) {
    if (n > UINT32_MAX - 4) {
        buf->failed = true;
        return 1;
    }
    uint8_t* p = NWDSBufPutPtr(buf, n + 4);
    if (p == nullptr) return 1;
    rt::store_le32(p, static_cast<uint32_t>(n));
    if (n != 0) std::memmove(p + 4, bytes, n);
    return 0;
}

uint8_t* NWDSBufGetPtr(NWDSBuf* buf, size_t n) {
    return const_cast<uint8_t*>(take_read(buf, n, rt::pad4(n)));
}

uint8_t* NWDSBufPutPtr(NWDSBuf* buf, size_t n) { return take_write(buf, n, rt::pad4(n)); }

void NWDSBufSkip(NWDSBuf* buf, size_t n) { take_read(buf, n, rt::pad4(n)); }

uint8_t* NWDSBufPeekPtr(NWDSBuf* buf) {
    return !buf->failed && buf->cursor <= buf->limit ? buf->cursor : nullptr;
}

uint8_t* NWDSBufPeekPtrLen(NWDSBuf* buf, size_t offset, size_t n) {
    if (buf->failed) return nullptr;
    size_t left = bytes_left(buf);
    if (offset > left || n > left - offset) return nullptr;
    return buf->cursor + offset;
}

uint8_t* NWDSBufRetrieve(const NWDSBuf* buf, size_t* len) {
    *len = static_cast<size_t>(buf->cursor - buf->data);
    return buf->data;
}

uint8_t* NWDSBufPutPtrLen(NWDSBuf* buf, size_t* len) {
    *len = room_left(buf);
    return buf->cursor;
}

namespace {

// n units given by unit(i), then the zero unit: a name that does not fit, or
// holds a zero unit, leaves the buffer untouched and failed, so that the
// request is never sent cut short.
template <class UnitAt>
void put_nwuni(NWDSBuf* buf, size_t n, UnitAt unit) {
    size_t room = room_left(buf);
    if (room < 4 || n >= (room - 4) / 2) {
        buf->failed = true;
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        if (unit(i) == 0) {
            buf->failed = true;
            return;
        }
    }
    const size_t bytes = 2 * (n + 1);
    NWDSBufPut32(buf, static_cast<uint32_t>(bytes));
    // The units and the zero unit, then zero padding to a multiple of 4.
    uint8_t* p = take_write(buf, bytes, rt::pad4(bytes));
    if (p == nullptr) return;
    const std::span<uint8_t> out(p, bytes);
    for (size_t i = 0; i < n; ++i) rt::store_le16(out.subspan(2 * i, 2).data(), unit(i));
    rt::store_le16(out.subspan(2 * n, 2).data(), 0);
}

}  // namespace

void NWDSBufPutNWUNI(NWDSBuf* buf, const char* s) {
    if (s == nullptr) {
        buf->failed = true;
        return;
    }
    put_nwuni(buf, std::strlen(s), [s](size_t i) -> uint16_t { return static_cast<uint8_t>(s[i]); });
}

void NWDSBufPutNWUNI(NWDSBuf* buf, std::span<const uint16_t> units) {
    put_nwuni(buf, units.size(), [units](size_t i) { return units[i]; });
}

void NWDSBufGetNWUNI(NWDSBuf* buf, char* dest, size_t dest_size) {
    if (dest != nullptr && dest_size != 0) dest[0] = '\0';
    uint8_t* start = buf->cursor;
    const uint8_t* lp = take_read(buf, 4, 4);
    if (lp == nullptr) return;
    size_t len = rt::load_le32(lp);
    // Units are read whole: an odd length reads one byte more.
    size_t units = (len + 1) / 2;
    const uint8_t* p = take_read(buf, 2 * units, rt::pad4(len));
    if (p == nullptr) {
        buf->cursor = start;
        return;
    }
    if (dest == nullptr || dest_size == 0) return;
    size_t stored = 0;
    for (size_t i = 0; i < units && stored + 1 < dest_size; ++i) {
        dest[stored++] = static_cast<char>(p[2 * i]);  // low byte of the unit
    }
    dest[stored] = '\0';
}

size_t NWDSBufSize(const NWDSBuf* buf) { return static_cast<size_t>(buf->limit - buf->data); }

void NWDSBufAppendReply(NWDSBuf* buf, std::span<const uint8_t> bytes) {
    size_t room = room_left(buf);
    size_t n = bytes.size() < room ? bytes.size() : room;
    if (n == 0) return;
    std::memcpy(buf->cursor, bytes.data(), n);
    buf->cursor += n;
}

void NWDSBufEndReply(NWDSBuf* buf) {
    buf->end = buf->cursor;
    buf->cursor = buf->data;
}

size_t nwunicode_strlen(const uint16_t* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

size_t nwunicode_strcpy(std::span<uint16_t> dst, const uint16_t* src) {
    if (dst.empty()) return 0;
    size_t n = 0;
    while (n + 1 < dst.size() && src[n] != 0) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
    return n;
}

size_t nwunicode_createfromascii(std::span<uint16_t> dst, const char* s) {
    if (dst.empty()) return 0;
    size_t n = 0;
    while (n + 1 < dst.size() && s[n] != '\0') {
        dst[n] = static_cast<uint8_t>(s[n]);
        ++n;
    }
    dst[n] = 0;
    return n;
}
