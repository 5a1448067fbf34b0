#include "ndskey/keyrecord.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "nwcrypto/nwcrypto.h"

namespace {

const Bytes kHeader = {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00};

void add_chunk(Bytes& body, const char* tag, const Bytes& data) {
    body.push_back(static_cast<uint8_t>(tag[0]));
    body.push_back(static_cast<uint8_t>(tag[1]));
    uint8_t a = static_cast<uint8_t>(data.size() > 255 ? 255 : data.size());
    body.push_back(a);
    body.push_back(static_cast<uint8_t>(data.size() - a));
    body.insert(body.end(), data.begin(), data.end());
}

// A public-key record: "NN" and "EN" chunks, then a 20-byte "MA" chunk whose
// first 8 data bytes are the hash of everything before it.
Bytes make_record(size_t modulus_len = 64, bool corrupt_check = false) {
    Bytes body;
    Bytes n(modulus_len);
    for (size_t i = 0; i < n.size(); ++i) n[i] = static_cast<uint8_t>(i * 7 + 1);
    add_chunk(body, "NN", n);
    add_chunk(body, "EN", {0x01, 0x00, 0x01});
    uint8_t check[8] = {};
    nwhash1(check, 8, body.data(), static_cast<int>(body.size()));
    if (corrupt_check) check[3] ^= 0x40;
    Bytes ma(check, check + 8);
    ma.resize(16, 0xEE);
    add_chunk(body, "MA", ma);
    Bytes rec = kHeader;
    rec.push_back(static_cast<uint8_t>(body.size()));
    rec.push_back(static_cast<uint8_t>(body.size() >> 8));
    rec.insert(rec.end(), body.begin(), body.end());
    return rec;
}

uint32_t body_len(const Bytes& rec) { return static_cast<uint32_t>(rec[8] | (rec[9] << 8)); }

TEST(KeyRecordHead, AcceptsOnlyTheFixedHeader) {
    Bytes rec = make_record();
    const uint8_t* body = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(initkey(rec, &body, &len), 1);
    EXPECT_EQ(body, rec.data() + 10);
    EXPECT_EQ(len, rec.size() - 10);
    EXPECT_EQ(initkey(rec, nullptr, nullptr), 1);
    for (size_t i = 0; i < 8; ++i) {
        Bytes bad = rec;
        bad[i] ^= 0x01;
        EXPECT_EQ(initkey(bad, nullptr, nullptr), 0) << "byte " << i;
        EXPECT_EQ(checkkey(bad), 0) << "byte " << i;
        std::array<uint8_t, KEY_AREA_SIZE> area{};
        area[10] = 0;  // skip count 0: record at 26
        std::memcpy(area.data() + 26, bad.data(), bad.size());
        uint32_t v = static_cast<uint32_t>(26 + bad.size());
        EXPECT_EQ(unwrapkey(area, &v), 1) << "byte " << i;
    }
    // Storage too short for the 10-byte head.
    EXPECT_EQ(initkey(std::span<const uint8_t>(rec.data(), 9), nullptr, nullptr), 0);
}

TEST(KeyRecordChunks, SplitLengthAndScanOrder) {
    Bytes body = {'X', 'X', 0x40, 0x01};  // a + b = 65, not 0x0140
    Bytes big(65, 0xAB);
    body.insert(body.end(), big.begin(), big.end());
    add_chunk(body, "EN", {0x03});
    add_chunk(body, "EN", {0x05, 0x06});
    const uint8_t* data = nullptr;
    EXPECT_EQ(findchunk(body.data(), static_cast<int32_t>(body.size()), "XX", &data), 65u);
    EXPECT_EQ(data, body.data() + 4);
    // The next chunk starts 69 bytes on; of two with one tag the first wins.
    EXPECT_EQ(findchunk(body.data(), static_cast<int32_t>(body.size()), "EN", &data), 1u);
    EXPECT_EQ(data, body.data() + 69 + 4);
    EXPECT_EQ(findchunk(body.data(), static_cast<int32_t>(body.size()), "NN", &data), 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(findchunk(nullptr, 10, "EN", &data), 0u);
    EXPECT_EQ(data, nullptr);
}

TEST(KeyRecordChunks, EmptyChunkHasAnAddressAndCutChunksAreAbsent) {
    Bytes body;
    add_chunk(body, "EN", {});
    add_chunk(body, "NN", Bytes(10, 0x11));
    const uint8_t* data = nullptr;
    EXPECT_EQ(findchunk(body.data(), static_cast<int32_t>(body.size()), "EN", &data), 0u);
    EXPECT_EQ(data, body.data() + 4);
    // Data running one byte past the given length: not found.
    EXPECT_EQ(findchunk(body.data(), static_cast<int32_t>(body.size() - 1), "NN", &data), 0u);
    EXPECT_EQ(data, nullptr);
    // Head running past the length: not found.
    EXPECT_EQ(findchunk(body.data(), 6, "NN", &data), 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(findchunk(body.data(), -4, "EN", &data), 0u);
}

TEST(KeyRecordCheck, ValidRecordAndEachWayToFail) {
    Bytes rec = make_record();
    EXPECT_EQ(checkkey(rec), 1);
    EXPECT_EQ(checkkey(make_record(64, true)), 0);
    // The body must lie within the storage.
    EXPECT_EQ(checkkey(std::span<const uint8_t>(rec.data(), rec.size() - 1)), 0);

    // Without "MA": rename the tag.
    Bytes no_ma = rec;
    no_ma[no_ma.size() - 20] = 'X';
    EXPECT_EQ(checkkey(no_ma), 0);

    // "MA" with empty data, and a body shorter than 20 bytes.
    Bytes tiny_body;
    add_chunk(tiny_body, "MA", {});
    Bytes tiny = kHeader;
    tiny.push_back(static_cast<uint8_t>(tiny_body.size()));
    tiny.push_back(0);
    tiny.insert(tiny.end(), tiny_body.begin(), tiny_body.end());
    EXPECT_EQ(checkkey(tiny), 0);

    Bytes short_body;
    add_chunk(short_body, "MA", Bytes(8, 0));  // 12 bytes; hash of nothing is 0
    Bytes shortrec = kHeader;
    shortrec.push_back(12);
    shortrec.push_back(0);
    shortrec.insert(shortrec.end(), short_body.begin(), short_body.end());
    EXPECT_EQ(checkkey(shortrec), 0);
}

TEST(KeyRecordBytes, CountBits) {
    EXPECT_EQ(countbits_l(Bytes(5, 0).data(), 5), 0);
    uint8_t one = 1;
    EXPECT_EQ(countbits_l(&one, 1), 1);
    Bytes b64(64, 0);
    b64[63] = 0x80;
    EXPECT_EQ(countbits_l(b64.data(), 64), 512);
    const uint8_t nine[] = {0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(countbits_l(nine, 4), 9);
    const uint8_t low[] = {0xFF, 0x00};
    EXPECT_EQ(countbits_l(low, 2), 8);
}

TEST(KeyRecordBytes, CopyFillExtendsOrCuts) {
    const uint8_t src[] = {1, 2, 3};
    uint8_t dst[6];
    std::memset(dst, 0xCC, sizeof dst);
    copyfill(dst, sizeof dst, src, sizeof src);
    EXPECT_EQ(Bytes(dst, dst + 6), (Bytes{1, 2, 3, 0, 0, 0}));
    uint8_t small[2] = {0xCC, 0xCC};
    copyfill(small, 2, src, 3);
    EXPECT_EQ(Bytes(small, small + 2), (Bytes{1, 2}));
}

struct Area {
    std::array<uint8_t, KEY_AREA_SIZE> bytes{};
    uint32_t value_len = 0;
};

Area wrap(const Bytes& rec, uint16_t skip, size_t extra_after) {
    Area a;
    for (size_t i = 0; i < a.bytes.size(); ++i) a.bytes[i] = static_cast<uint8_t>(0x5A ^ i);
    a.bytes[10] = static_cast<uint8_t>(skip);
    a.bytes[11] = static_cast<uint8_t>(skip >> 8);
    std::memcpy(a.bytes.data() + 26 + skip, rec.data(), rec.size());
    a.value_len = static_cast<uint32_t>(26 + skip + rec.size() + extra_after);
    return a;
}

TEST(KeyRecordUnwrap, MovesTheRecordToTheStart) {
    Bytes rec = make_record(100);
    Area a = wrap(rec, 16, 0);  // record at offset 42
    ASSERT_EQ(unwrapkey(a.bytes, &a.value_len), 0);
    EXPECT_EQ(a.value_len, body_len(rec));
    EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.begin() + static_cast<long>(rec.size())), rec);
    EXPECT_EQ(checkkey(a.bytes), 1);
}

TEST(KeyRecordUnwrap, BoundsAgainstTheValueLength) {
    Bytes rec = make_record();
    uint32_t L = body_len(rec);
    // Exactly K + 26 + L passes: the last 10 record bytes lie past the value.
    Area edge = wrap(rec, 4, 0);
    edge.value_len = 4 + 26 + L;
    EXPECT_EQ(unwrapkey(edge.bytes, &edge.value_len), 0);
    EXPECT_EQ(edge.value_len, L);

    Area one_short = wrap(rec, 4, 0);
    one_short.value_len = 4 + 26 + L - 1;
    auto before = one_short.bytes;
    EXPECT_EQ(unwrapkey(one_short.bytes, &one_short.value_len), 1);
    EXPECT_EQ(one_short.value_len, 4 + 26 + L - 1);
    EXPECT_EQ(one_short.bytes, before);

    Area past = wrap(rec, 4, 0);
    past.value_len = 4 + 26 - 1;  // K + 26 > V
    EXPECT_EQ(unwrapkey(past.bytes, &past.value_len), 1);

    Area bad = wrap(make_record(64, true), 0, 3);
    uint32_t v = bad.value_len;
    before = bad.bytes;
    EXPECT_EQ(unwrapkey(bad.bytes, &bad.value_len), 1);
    EXPECT_EQ(bad.value_len, v);
    EXPECT_EQ(bad.bytes, before);
}

TEST(KeyRecordUnwrap, NeverLeavesTheKeyArea) {
    Bytes rec = make_record(64);
    // Skip count places the record so that its head or body would end past
    // the 1024-byte area although the value length claims the whole area.
    Area a = wrap(rec, 0, 0);
    a.bytes[10] = static_cast<uint8_t>((1024 - 26 - 5) & 0xFF);
    a.bytes[11] = static_cast<uint8_t>((1024 - 26 - 5) >> 8);
    a.value_len = 1024;
    EXPECT_EQ(unwrapkey(a.bytes, &a.value_len), 1);
    // A value length beyond the area is refused outright.
    Area b = wrap(rec, 0, 0);
    b.value_len = 2000;
    EXPECT_EQ(unwrapkey(b.bytes, &b.value_len), 1);
    // A record whose body length would carry it past the area.
    Area c = wrap(rec, 0, 0);
    size_t at = 1024 - rec.size() + 4;  // last 4 bytes would fall off
    c.bytes[10] = static_cast<uint8_t>((at - 26) & 0xFF);
    c.bytes[11] = static_cast<uint8_t>((at - 26) >> 8);
    std::memcpy(c.bytes.data() + at, rec.data(), rec.size() - 4);
    c.value_len = 1024;
    EXPECT_EQ(unwrapkey(c.bytes, &c.value_len), 1);
}

}  // namespace
