// NCP over TCP framing: requests start "DmdT" with a 16-byte transport head
// and a 6-byte NCP head, replies start "tNcP" with a 16-byte head.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ts {

inline constexpr size_t kRequestHead = 22;
inline constexpr size_t kMaxRequestData = 16384;
inline constexpr uint16_t kCreateService = 0x1111;
inline constexpr uint16_t kServiceRequest = 0x2222;
inline constexpr uint16_t kServiceReply = 0x3333;

enum class Frame { Need, Ready, Bad };

// Looks at the buffered bytes of a connection. Ready: a whole packet of len
// bytes is there. Bad: the stream cannot be followed (why says why).
Frame frame_request(std::span<const uint8_t> buf, size_t& len, std::string& why);

struct NcpRequest {
    uint32_t version = 0;
    uint32_t reply_size = 0;
    uint16_t type = 0;
    uint8_t seq = 0;
    uint16_t conn = 0;       // high byte from offset 21, low byte from offset 19
    uint8_t task = 0;
    std::span<const uint8_t> data;
};

// Splits a whole packet (as found by frame_request) into its fields.
bool parse_request(std::span<const uint8_t> packet, NcpRequest& out);

// A reply packet: "tNcP", 16 + data length, 0x3333, the request's sequence
// number, the connection number, the task, the completion code, status 0.
std::vector<uint8_t> build_reply(uint8_t seq, uint16_t conn, uint8_t task, uint8_t completion,
                                 std::span<const uint8_t> data);

}  // namespace ts
