#include "peer.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "runtime/bytes.h"

namespace {

void set_timeouts(int fd) {
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool read_exact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

Bytes nwuni(const char* s) {
    size_t n = std::strlen(s) + 1;
    Bytes out = le32(static_cast<uint32_t>(2 * n));
    for (size_t i = 0; i < n; ++i) out.insert(out.end(), {static_cast<uint8_t>(s[i]), 0});
    out.resize(rt::pad4(out.size()), 0);
    return out;
}

Bytes ncp_reply(const Bytes& data, uint8_t completion, uint16_t conn_number) {
    Bytes r = {'t', 'N', 'c', 'P', 0, 0, 0, 0, 0x33, 0x33, 0x00, static_cast<uint8_t>(conn_number & 0xFF),
               0x01, static_cast<uint8_t>(conn_number >> 8), completion, 0x00};
    rt::store_be32(r.data() + 4, static_cast<uint32_t>(16 + data.size()));
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

Bytes frag_reply(uint32_t handle, const Bytes& data, int64_t size) {
    uint32_t f = size < 0 ? static_cast<uint32_t>(4 + data.size()) : static_cast<uint32_t>(size);
    return cat({le32(f), le32(handle), data});
}

void Peer::serve(int fd, std::vector<Step> steps) {
    set_timeouts(fd);
    bool open = true;
    for (const Step& s : steps) {
        uint8_t head[8];
        if (!read_exact(fd, head, 8)) break;
        Bytes req(head, head + 8);
        req.resize(rt::load_be32(head + 4));
        if (req.size() < 8 || !read_exact(fd, req.data() + 8, req.size() - 8)) break;
        requests_.push_back(req);
        if (s.trickle_ms > 0) {
            for (size_t i = 0; i < s.reply.size() && write_all(fd, s.reply.data() + i, 1); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(s.trickle_ms));
            continue;
        }
        size_t first = s.split != 0 && s.split < s.reply.size() ? s.split : s.reply.size();
        write_all(fd, s.reply.data(), first);
        if (first < s.reply.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            write_all(fd, s.reply.data() + first, s.reply.size() - first);
        }
        if (s.hang_up) {
            open = false;
            break;
        }
    }
    // Anything the client sends after the script, until it closes.
    uint8_t sink[512];
    ssize_t r;
    while (open && (r = recv(fd, sink, sizeof sink, 0)) > 0) extra_ += static_cast<size_t>(r);
    close(fd);
}

void Peer::start_pair(NcpConnection* conn, std::vector<Step> steps) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
    set_timeouts(fds[0]);
    conn->sock = fds[0];
    conn->connected = 1;
    thread_ = std::thread(&Peer::serve, this, fds[1], std::move(steps));
}

sockaddr_in Peer::start_tcp(std::vector<Step> steps) {
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(ls, 4) != 0 ||
        getsockname(ls, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        abort();
    set_timeouts(ls);  // accept gives up too
    thread_ = std::thread([this, ls, steps = std::move(steps)]() mutable {
        int fd = accept(ls, nullptr, nullptr);
        close(ls);
        if (fd >= 0) serve(fd, std::move(steps));
    });
    return addr;
}

std::vector<Bytes> Peer::join() {
    if (thread_.joinable()) thread_.join();
    return requests_;
}

std::unique_ptr<NcpConnection> new_connection() {
    auto conn = std::make_unique<NcpConnection>();
    NCPCONN_init(conn.get());
    return conn;
}
