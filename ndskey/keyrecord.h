// Key records: RSA keys as the directory hands them over. A record is the
// fixed 8-byte header 01 00 00 00 03 00 01 00, a 16-bit little-endian body
// length L and L bytes of tagged chunks ("NN", "EN", "PN", "QN", "DP", "DQ",
// "CR", "MA"). Every function is told how much storage it may touch and never
// reads outside it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t KEY_AREA_SIZE = 1024;  // the key fields of the connection record
constexpr size_t KEY_HEAD_SIZE = 10;
constexpr std::array<uint8_t, 8> KEY_HEADER = {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00};

// 1 when the first 8 bytes are the fixed header (and the 10-byte head fits
// the storage); stores body address and L in whichever out-parameter is given.
int initkey(std::span<const uint8_t> record, const uint8_t** body, uint32_t* body_len);

// Data length a + b of the first chunk tagged `tag` (two characters) within
// the first len bytes of body; *data receives its address, or null when no
// whole chunk (head and data inside the len bytes) matches.
uint32_t findchunk(const uint8_t* body, int32_t len, const char* tag, const uint8_t** data);

// 1 when the record is well-formed, lies within the storage, and its "MA"
// check value matches.
int checkkey(std::span<const uint8_t> record);

void copyfill(void* dst, size_t dstlen, const void* src, size_t srclen);
int countbits_l(const uint8_t* s, size_t len);

// Takes the record out of a "Public Key" attribute value held in key_area
// (whose length field *len holds the value length V): 0 with the checked
// record moved to the start of the area and *len = L, or 1 with both unchanged.
int unwrapkey(std::span<uint8_t> key_area, uint32_t* len);
