// The state of one client connection, and the handling of one whole NCP
// request on it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "testserver/world.h"

namespace ts {

struct Session {
    uint32_t id = 0;                  // for the log: the connection number once assigned
    uint16_t conn = 0xFFFF;           // NCP connection number, assigned by the create request
    bool created = false;
    uint8_t next_seq = 0;
    uint32_t requests = 0;            // NCP requests seen
    bool hung = false;                // --hang-after reached: nothing more is answered

    // Fragment layer: a request being assembled, or a reply being handed out.
    bool assembling = false;
    uint32_t in_handle = 0;
    uint32_t verb = 0;
    uint32_t reply_size = 0;
    uint32_t message_len = 0;         // request bytes announced by the first fragment
    std::vector<uint8_t> request;
    bool replying = false;
    uint32_t out_handle = 0;
    std::vector<uint8_t> reply;
    size_t reply_off = 0;
    uint32_t handle_counter = 0;

    // A read that takes several batches: the handle handed out for the next
    // one, and where it goes on.
    uint32_t read_handle = 0;         // 0: none open
    uint32_t read_entry = 0;
    std::u16string read_attr;
    size_t read_next = 0;             // the first value of the next batch
    uint32_t read_batches = 0;

    // Login and authentication.
    int login_user = -1;              // after verb 57: the user being logged in
    std::array<uint8_t, 4> challenge{};
    int logged_user = -1;             // after a successful verb 58
    std::array<uint8_t, 8> login_info{};
    bool auth_started = false;        // verb 59 answered
    std::array<uint8_t, 4> auth_nonce{};
    bool authenticated = false;       // verb 60 accepted
    bool logged_in = false;           // authenticated and then state 1
};

enum class Outcome { Reply, Close, Silent };

struct Response {
    Outcome what = Outcome::Reply;
    std::vector<uint8_t> bytes;       // the whole reply packet
};

// Handles one whole NCP request packet (head included).
Response handle_packet(World& w, Session& s, std::span<const uint8_t> packet);

}  // namespace ts
