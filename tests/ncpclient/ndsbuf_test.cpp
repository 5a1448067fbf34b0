#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>

#include "peer.h"

namespace {

struct Buf {
    uint8_t storage[64];
    NWDSBuf b;
    explicit Buf(size_t size = 64, uint8_t fill = 0xCC) {
        std::memset(storage, fill, sizeof storage);
        NWDSBufSetup(&b, storage, size);
    }
    size_t used() { size_t n; NWDSBufRetrieve(&b, &n); return n; }
    Bytes bytes(size_t n) const { return Bytes(storage, storage + n); }
};

TEST(NdsBuf, InitReservesTheCountWordForReadLikeVerbs) {
    Buf x;
    EXPECT_EQ(x.used(), 0u);
    EXPECT_EQ(NWDSBufInit(&x.b, 3), 0);
    EXPECT_EQ(x.used(), 4u);
    EXPECT_EQ(x.bytes(4), Bytes(4, 0));
    for (uint32_t verb : {1u, 53u, 57u}) {
        EXPECT_EQ(NWDSBufInit(&x.b, verb), 0);
        EXPECT_EQ(x.used(), 0u);
    }
    Buf tiny(3);
    EXPECT_EQ(NWDSBufInit(&tiny.b, 3), 1);
    EXPECT_EQ(tiny.b.operation, 3u);
    EXPECT_EQ(tiny.b.cursor, tiny.b.data);
    EXPECT_EQ(tiny.storage[0], 0xCC);
}

TEST(NdsBuf, PutsPadAndCheckRoom) {
    Buf x;
    const uint8_t five[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(NWDSBufPut(&x.b, five, 5), 0);
    EXPECT_EQ(x.bytes(9), (Bytes{1, 2, 3, 4, 5, 0, 0, 0, 0xCC}));
    const uint8_t eight[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(NWDSBufPut(&x.b, eight, 8), 0);
    EXPECT_EQ(x.used(), 16u);
    EXPECT_EQ(x.storage[16], 0xCC);
    ASSERT_EQ(NWDSBufPutWithLen(&x.b, five, 5), 0);
    EXPECT_EQ(x.used(), 28u);
    EXPECT_EQ(Bytes(x.storage + 16, x.storage + 28), (Bytes{5, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}));

    Buf edge(8);
    NWDSBufSkip(&edge.b, 4);
    EXPECT_EQ(NWDSBufPut32(&edge.b, 0x11223344), 0);
    Buf three(7);
    NWDSBufSkip(&three.b, 4);
    EXPECT_EQ(NWDSBufPut32(&three.b, 1), 1);
    EXPECT_EQ(three.used(), 4u);
    EXPECT_TRUE(three.b.failed);
    EXPECT_EQ(NWDSBufPutPtr(&three.b, 4), nullptr);
}

TEST(NdsBuf, PutNwuniWidensOrFailsWhole) {
    Buf x;
    NWDSBufPutNWUNI(&x.b, "ab");
    EXPECT_EQ(x.used(), 12u);
    // The padding is zeroed: stale storage never goes on the wire.
    EXPECT_EQ(x.bytes(12), (Bytes{6, 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 0, 0}));
    NWDSBufPutNWUNI(&x.b, "");
    EXPECT_EQ(x.used(), 20u);
    NWDSBufPutNWUNI(&x.b, "\xE9" "bc");
    EXPECT_EQ(x.used(), 32u);
    EXPECT_EQ(Bytes(x.storage + 24, x.storage + 26), (Bytes{0xE9, 0x00}));
    EXPECT_FALSE(x.b.failed);

    // 4 + 2 * (13 + 1) = 32 bytes: fits in 32, not in 31.
    Buf fit(32), nofit(31);
    NWDSBufPutNWUNI(&fit.b, "abcdefghijklm");
    EXPECT_FALSE(fit.b.failed);
    EXPECT_EQ(fit.used(), 32u);
    NWDSBufPutNWUNI(&nofit.b, "abcdefghijklm");
    EXPECT_TRUE(nofit.b.failed);
    EXPECT_EQ(nofit.used(), 0u);
    EXPECT_EQ(nofit.storage[0], 0xCC);
}

TEST(NdsBuf, PutNwuniOfUnitsGoesAsItIsOrFailsWhole) {
    Buf x;
    const uint16_t name[] = {0x0141, 'a', 0xD83D, 0xDE00};  // \u0141, 'a', U+1F600 as a pair
    NWDSBufPutNWUNI(&x.b, name);
    EXPECT_FALSE(x.b.failed);
    EXPECT_EQ(x.bytes(x.used()), (Bytes{10, 0, 0, 0, 0x41, 0x01, 'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0, 0}));
    NWDSBufPutNWUNI(&x.b, std::span<const uint16_t>());
    EXPECT_EQ(x.used(), 24u);
    EXPECT_EQ(x.bytes(24), (Bytes{10, 0, 0, 0, 0x41, 0x01, 'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0, 0,
                                  2, 0, 0, 0, 0, 0, 0, 0}));

    // A zero unit would end the name early: nothing is put.
    Buf zero;
    const uint16_t inner_zero[] = {'a', 0, 'b'};
    NWDSBufPutNWUNI(&zero.b, inner_zero);
    EXPECT_TRUE(zero.b.failed);
    EXPECT_EQ(zero.used(), 0u);
    EXPECT_EQ(zero.storage[0], 0xCC);

    // 4 + 2 * (13 + 1) = 32 bytes: fits in 32, not in 31.
    const uint16_t thirteen[13] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm'};
    Buf fit(32), nofit(31);
    NWDSBufPutNWUNI(&fit.b, thirteen);
    EXPECT_FALSE(fit.b.failed);
    EXPECT_EQ(fit.used(), 32u);
    NWDSBufPutNWUNI(&nofit.b, thirteen);
    EXPECT_TRUE(nofit.b.failed);
    EXPECT_EQ(nofit.used(), 0u);
    EXPECT_EQ(nofit.storage[0], 0xCC);
}

// A reply buffer holding `wire`, as the fragment layer leaves it.
struct Reply : Buf {
    explicit Reply(const Bytes& wire) {
        NWDSBufAppendReply(&b, wire);
        NWDSBufEndReply(&b);
    }
};

TEST(NdsBuf, GetNwuniCutsAndStaysInTheReply) {
    Reply r(cat({le32(6), {'a', 0, 'b', 0, 0, 0, 0xCC, 0xCC}, le32(4), {0x41, 0x01, 0, 0}}));
    char dest[8];
    std::memset(dest, 'X', sizeof dest);
    NWDSBufGetNWUNI(&r.b, dest, sizeof dest);
    EXPECT_EQ(Bytes(dest, dest + 4), (Bytes{'a', 'b', 0, 0}));
    EXPECT_EQ(r.b.cursor, r.b.data + 12);
    NWDSBufGetNWUNI(&r.b, dest, 2);  // unit 0x0141 keeps its low byte; cut to 1 char
    EXPECT_EQ(Bytes(dest, dest + 2), (Bytes{'A', 0}));
    EXPECT_EQ(r.b.cursor, r.b.data + 20);
    EXPECT_FALSE(r.b.failed);

    Reply skip(cat({le32(6), {'a', 0, 'b', 0, 0, 0, 0, 0}}));
    NWDSBufGetNWUNI(&skip.b, nullptr, 0);
    EXPECT_EQ(skip.b.cursor, skip.b.data + 12);

    // A length that runs past the received bytes reads nothing.
    Reply lying(cat({le32(40), {'a', 0, 'b', 0}}));
    NWDSBufGetNWUNI(&lying.b, dest, sizeof dest);
    EXPECT_TRUE(lying.b.failed);
    EXPECT_EQ(dest[0], 0);
    EXPECT_EQ(lying.b.cursor, lying.b.data);
}

TEST(NdsBuf, ReadsStopAtTheEndOfTheReply) {
    Reply r({1, 2, 3, 4, 5, 6}), exact({1, 2, 3, 4, 5, 6});
    uint8_t out[8] = {};
    EXPECT_EQ(NWDSBufGet(&r.b, out, 7), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(NWDSBufGet(&exact.b, out, 6), 0);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{1, 2, 3, 4, 5, 6}));
    Reply w({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(NWDSBufGet32(&w.b), 0x04030201u);
    EXPECT_EQ(NWDSBufPeekPtrLen(&w.b, 0, 3), nullptr);
    EXPECT_EQ(NWDSBufGet16(&w.b), 0x0605);
    EXPECT_FALSE(w.b.failed);
    EXPECT_EQ(NWDSBufGet16(&w.b), 0u);  // nothing left
    EXPECT_TRUE(w.b.failed);
}

// After the first failure the buffer is spent: every operation, read or
// write, yields zero or failure, stores nothing and leaves the cursor where
// it was, until NWDSBufInit starts the buffer afresh.
TEST(NdsBuf, FailedBufferReadsZeroWritesNothingAndStandsStill) {
    const uint8_t one[1] = {1};
    const std::pair<const char*, std::function<bool(NWDSBuf*)>> ops[] = {
        {"Get16", [](NWDSBuf* b) { return NWDSBufGet16(b) == 0; }},
        {"Get32", [](NWDSBuf* b) { return NWDSBufGet32(b) == 0; }},
        {"Get", [](NWDSBuf* b) { uint8_t d[2] = {7, 7}; return NWDSBufGet(b, d, 2) == 1 && d[0] == 7; }},
        {"Get none", [](NWDSBuf* b) { uint8_t d = 7; return NWDSBufGet(b, &d, 0) == 1; }},
        {"GetPtr none", [](NWDSBuf* b) { return NWDSBufGetPtr(b, 0) == nullptr; }},
        {"Skip", [](NWDSBuf* b) { NWDSBufSkip(b, 2); return true; }},
        {"GetNWUNI", [](NWDSBuf* b) { char d[4] = "xy"; NWDSBufGetNWUNI(b, d, sizeof d); return d[0] == 0; }},
        {"PeekPtr", [](NWDSBuf* b) { return NWDSBufPeekPtr(b) == nullptr; }},
        {"PeekPtrLen none", [](NWDSBuf* b) { return NWDSBufPeekPtrLen(b, 0, 0) == nullptr; }},
        {"Put8", [](NWDSBuf* b) { return NWDSBufPut8(b, 1) == 1; }},
        {"Put16", [](NWDSBuf* b) { return NWDSBufPut16(b, 1) == 1; }},
        {"Put32", [](NWDSBuf* b) { return NWDSBufPut32(b, 1) == 1; }},
        {"Put", [&](NWDSBuf* b) { return NWDSBufPut(b, one, 1) == 1; }},
        {"PutWithLen", [&](NWDSBuf* b) { return NWDSBufPutWithLen(b, one, 1) == 1; }},
        {"PutPtr none", [](NWDSBuf* b) { return NWDSBufPutPtr(b, 0) == nullptr; }},
        {"PutPtrLen", [](NWDSBuf* b) { size_t room = 9; NWDSBufPutPtrLen(b, &room); return room == 0; }},
        {"PutNWUNI", [](NWDSBuf* b) { NWDSBufPutNWUNI(b, "a"); return true; }},
        {"AppendReply", [&](NWDSBuf* b) { NWDSBufAppendReply(b, one); return true; }},
    };
    for (const auto& [name, op] : ops) {
        SCOPED_TRACE(name);
        Reply r({1, 2, 3, 4, 5, 6});
        NWDSBufSkip(&r.b, 4);
        EXPECT_EQ(NWDSBufGet32(&r.b), 0u);  // 2 bytes left: the first failure
        ASSERT_TRUE(r.b.failed);
        const Bytes before = r.bytes(sizeof r.storage);
        EXPECT_TRUE(op(&r.b));
        EXPECT_TRUE(r.b.failed);
        EXPECT_EQ(r.used(), 4u);
        EXPECT_EQ(r.bytes(sizeof r.storage), before);

        EXPECT_EQ(NWDSBufInit(&r.b, 0), 0);
        EXPECT_FALSE(r.b.failed);
        EXPECT_EQ(NWDSBufGet32(&r.b), 0x04030201u);
    }
}

TEST(NdsBuf, UnicodeStrings) {
    uint16_t units[8];
    EXPECT_EQ(nwunicode_createfromascii(units, "a\xFF"), 2u);
    EXPECT_EQ(units[0], 0x0061);
    EXPECT_EQ(units[1], 0x00FF);
    EXPECT_EQ(units[2], 0);
    EXPECT_EQ(nwunicode_strlen(units), 2u);
    uint16_t copy[8];
    EXPECT_EQ(nwunicode_strcpy(copy, units), 2u);
    EXPECT_EQ(copy[2], 0);
}

}  // namespace
