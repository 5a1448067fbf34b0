// Key records as the server hands them out: a fixed 8-byte head, a 16-bit
// body length and tagged chunks, the last 20 body bytes an "MA" chunk whose
// first 8 data bytes are an nwhash1 check of the body before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "testserver/rsakey.h"

namespace ts {

// The record head's fixed bytes.
inline constexpr uint8_t kKeyRecordHead[8] = {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00};

// Where the record starts inside a "Public Key" value: the skip count at
// offset 10 says how far past byte 26.
inline constexpr uint16_t kPublicKeySkip = 8;

// Appends a chunk; its data length is split over the two length bytes
// (a + b), so a reader must add them rather than read a 16-bit number.
void put_chunk(std::vector<uint8_t>& body, const char tag[2], std::span<const uint8_t> data);

inline constexpr size_t kCheckChunkSize = 20;

// Appends the 20-byte "MA" chunk that checks the body so far.
void put_check_chunk(std::vector<uint8_t>& body);

// Body with "NN", "EN" and the check chunk.
std::vector<uint8_t> public_key_body(const RsaKey& key);
// Body with "PN", "QN", "DP", "DQ", "CR" and the check chunk.
std::vector<uint8_t> private_key_body(const RsaKey& key);

// Head (8 fixed bytes and the body length) followed by the body.
std::vector<uint8_t> key_record(std::span<const uint8_t> body);

// The "Public Key" attribute value: 26 + skip bytes of wrapping, the skip
// count at offset 10, then the record.
std::vector<uint8_t> public_key_value(const RsaKey& key);
// The same around a given body, with the given skip count.
std::vector<uint8_t> public_key_value(std::span<const uint8_t> body, uint16_t skip);

}  // namespace ts
