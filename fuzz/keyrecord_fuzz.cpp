// Key records from a hostile server: the input is a "Public Key" value in a
// 1024-byte key area and, on its own in storage of exactly its size, a
// record to check and scan.
#include <cstdint>
#include <cstring>
#include <memory>

#include "ndskey/keyrecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto record = std::make_unique<uint8_t[]>(size + 1);
    if (size != 0) std::memcpy(record.get(), data, size);
    std::span<const uint8_t> rec(record.get(), size);
    const uint8_t* body = nullptr;
    uint32_t len = 0;
    if (initkey(rec, &body, &len) == 1) {
        int32_t scan = static_cast<int32_t>(size - KEY_HEAD_SIZE);
        const uint8_t* chunk = nullptr;
        uint32_t n = findchunk(body, scan, "NN", &chunk);
        if (chunk != nullptr && n != 0) countbits_l(chunk, n);
        checkkey(rec);
    }

    auto area = std::make_unique<uint8_t[]>(KEY_AREA_SIZE);
    std::memset(area.get(), 0, KEY_AREA_SIZE);
    size_t v = size < KEY_AREA_SIZE ? size : KEY_AREA_SIZE;
    if (v != 0) std::memcpy(area.get(), data, v);
    uint32_t value_len = static_cast<uint32_t>(v);
    std::span<uint8_t> key_area(area.get(), KEY_AREA_SIZE);
    if (unwrapkey(key_area, &value_len) == 0) {
        // What was taken out must itself pass the check where it now lies.
        if (checkkey(key_area) != 1 || value_len + KEY_HEAD_SIZE > KEY_AREA_SIZE) __builtin_trap();
    } else if (value_len != v) {
        __builtin_trap();
    }
    return 0;
}
