// A small NCP client written for these tests alone: it frames requests by
// hand, follows fragment handles and keeps its own sequence numbers, so that
// the server is checked against an independent reading of the protocol.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct NcpReply {
    uint16_t conn = 0;          // from bytes 11 (low) and 13 (high)
    uint8_t seq = 0;
    uint8_t completion = 0xEE;
    std::vector<uint8_t> data;
};

class RawClient {
public:
    ~RawClient();
    bool connect(uint16_t port);
    void close();
    int fd() const { return fd_; }

    bool send_bytes(std::span<const uint8_t> bytes);
    bool read_reply(NcpReply& out);  // false on EOF, time-out or a bad head
    // Frames and sends one request with the next sequence number, then reads the reply.
    bool call(uint16_t type, std::span<const uint8_t> data, NcpReply& out);
    bool create();              // the create request; sets conn()

    // One NDS verb through 104/2 fragments. The reply is reassembled and
    // begins with the completion code. fragments counts the NCP exchanges.
    bool nds(uint32_t verb, std::span<const uint8_t> request, uint32_t reply_size,
             std::vector<uint8_t>& reply, int* fragments = nullptr);

    uint16_t conn() const { return conn_; }
    void set_conn(uint16_t c) { conn_ = c; }
    uint8_t seq = 0;

private:
    int fd_ = -1;
    uint16_t conn_ = 0xFFFF;
};

// Little-endian NDS request composition.
struct NdsReq {
    std::vector<uint8_t> b;
    NdsReq& u32(uint32_t v);
    NdsReq& bytes(std::span<const uint8_t> v);    // length word, bytes, zero padding
    NdsReq& text(const std::string& latin1);       // NWUNI: 16-bit units with a zero unit
};

uint32_t le32_at(const std::vector<uint8_t>& b, size_t at);

// Verb 1 (resolve) and verb 3 (read) the way the helper sends them.
uint32_t resolve_code(RawClient& c, const std::string& name, uint32_t* id);
// The values of one attribute; the completion code is returned.
uint32_t read_values(RawClient& c, uint32_t id, const std::string& attr, uint32_t reply_size,
                     std::vector<std::vector<uint8_t>>& values);
// A value of UTF-16LE units with a terminating zero unit, as text.
std::string units_text(const std::vector<uint8_t>& value);
