// A scripted NCP server on the far end of a real socket (socketpair or
// loopback TCP), run on its own thread: for every step it reads one whole
// request, records it, and writes the step's reply bytes as given.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "bytes.h"
#include "ncpclient/ncpclient.h"

struct Step {
    Bytes reply;
    size_t split = 0;     // write the reply in two parts with a pause after this many bytes
    bool hang_up = false; // close the socket after writing the reply
    int trickle_ms = 0;   // write the reply one byte at a time, pausing this long after each
};

// NCP reply: 16-byte head (completion code, connection number) and data.
Bytes ncp_reply(const Bytes& data, uint8_t completion = 0, uint16_t conn_number = 0x0001);
// One NDS fragment reply: size, handle, data; size defaults to 4 + data.
Bytes frag_reply(uint32_t handle, const Bytes& data, int64_t size = -1);
Bytes nwuni(const char* s);

class Peer {
public:
    // socketpair: the client end goes into the record (with 10 s time-outs).
    void start_pair(NcpConnection* conn, std::vector<Step> steps);
    // loopback TCP listener; returns the address to connect to.
    sockaddr_in start_tcp(std::vector<Step> steps);
    // Waits for the peer (the client's socket must be closed by then, or the
    // peer must have hung up). Returns the requests it read.
    std::vector<Bytes> join();
    size_t extra_bytes() const { return extra_; }  // bytes sent beyond the script

private:
    void serve(int fd, std::vector<Step> steps);
    std::thread thread_;
    std::vector<Bytes> requests_;
    size_t extra_ = 0;
};

std::unique_ptr<NcpConnection> new_connection();
