// NDS verbs: the dispatcher and the handlers. Each handler gets the whole
// reassembled request and returns the whole reply, beginning with the
// 32-bit NDS completion code.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "testserver/session.h"
#include "testserver/world.h"

namespace ts {

// Completion codes.
inline constexpr uint32_t kNoSuchEntry = 0xFFFFFDA7;          // -601
inline constexpr uint32_t kNoSuchAttribute = 0xFFFFFDA5;      // -603
inline constexpr uint32_t kInvalidRequest = 0xFFFFFD7F;       // -641
inline constexpr uint32_t kInsufficientBuffer = 0xFFFFFD77;   // -649
inline constexpr uint32_t kFailedAuthentication = 0xFFFFFD63; // -669
inline constexpr uint32_t kNoAccess = 0xFFFFFD60;             // -672

// A reply that is only the completion code.
std::vector<uint8_t> nds_error(uint32_t code);

std::vector<uint8_t> nds_dispatch(World& w, Session& s, uint32_t verb, uint32_t reply_size,
                                  std::span<const uint8_t> request);

std::vector<uint8_t> verb_resolve(World& w, Session& s, std::span<const uint8_t> req);
std::vector<uint8_t> verb_read(World& w, Session& s, uint32_t reply_size, std::span<const uint8_t> req);
std::vector<uint8_t> verb_server_name(World& w, Session& s, std::span<const uint8_t> req);
std::vector<uint8_t> verb_login_begin(World& w, Session& s, std::span<const uint8_t> req);
std::vector<uint8_t> verb_login_finish(World& w, Session& s, std::span<const uint8_t> req);
std::vector<uint8_t> verb_auth_begin(World& w, Session& s, std::span<const uint8_t> req);
std::vector<uint8_t> verb_auth_finish(World& w, Session& s, std::span<const uint8_t> req);

}  // namespace ts
