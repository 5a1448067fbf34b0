// NCP over TCP: one request framed and sent whole, one reply head read, the
// reply data read into the caller's buffer and any excess read and dropped,
// so that the stream stays in step for the next exchange.
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "ncpclient/ncpclient.h"
#include "runtime/cursor.h"

namespace {

constexpr uint8_t kRequestSignature[4] = {'D', 'm', 'd', 'T'};
constexpr uint8_t kReplySignature[4] = {'t', 'N', 'c', 'P'};
constexpr uint32_t kVersion = 1;
// Reply data that a server may announce; more is a broken or hostile peer.
constexpr size_t kMaxReplyData = 64 * 1024;

bool send_all(int fd, const uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

// Reads until n bytes arrived, the peer closed, or a time-out or error
// ended the wait; returns how many arrived.
size_t recv_upto(int fd, uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::recv(fd, p + done, n - done, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

bool discard(int fd, size_t n) {
    uint8_t scratch[1024];
    while (n > 0) {
        size_t want = n < sizeof scratch ? n : sizeof scratch;
        size_t got = recv_upto(fd, scratch, want);
        n -= got;
        if (got != want) return false;
    }
    return true;
}

}  // namespace

int ncp_tcp_call(NcpConnection* conn, uint16_t type, const uint8_t* data, size_t n,
                 uint8_t* reply, size_t* reply_len) {
    if (conn == nullptr || conn->sock < 0) return 1;
    if ((reply == nullptr) != (reply_len == nullptr)) return 1;
    if (n > NCP_PAYLOAD || (n != 0 && data == nullptr)) return 1;

    rt::Writer w(conn->packet);
    w.bytes(kRequestSignature, sizeof kRequestSignature);
    w.be32(static_cast<uint32_t>(NCP_TCP_HEAD + NCP_REQ_HEAD + n));
    w.be32(kVersion);
    w.be32(0);  // reply buffer size: always 0
    w.be16(type);
    w.u8(conn->sequence);
    w.u8(static_cast<uint8_t>(conn->conn_number & 0xFF));
    w.u8(conn->task);
    w.u8(static_cast<uint8_t>(conn->conn_number >> 8));
    uint8_t* payload = w.reserve(n);
    if (!w.ok()) return 1;
    if (n != 0) std::memmove(payload, data, n);
    conn->sequence = static_cast<uint8_t>(conn->sequence + 1);
    if (!send_all(conn->sock, conn->packet, w.pos())) return 1;

    // The reply head stays in the packet area: the create request takes the
    // connection number from it.
    if (recv_upto(conn->sock, conn->packet, NCP_TCP_HEAD) != NCP_TCP_HEAD) return 1;
    rt::Reader head(std::span<const uint8_t>(conn->packet, NCP_TCP_HEAD));
    std::span<const uint8_t> signature = head.bytes(4);
    uint32_t length = head.be32();
    head.skip(6);
    uint8_t completion = head.u8();
    if (!head.ok()) return 1;
    if (std::memcmp(signature.data(), kReplySignature, sizeof kReplySignature) != 0) return 1;
    if (length < NCP_TCP_HEAD || length - NCP_TCP_HEAD > kMaxReplyData) return 1;
    size_t data_len = length - NCP_TCP_HEAD;

    size_t capacity = reply != nullptr ? *reply_len : 0;
    size_t want = data_len < capacity ? data_len : capacity;
    size_t got = want != 0 ? recv_upto(conn->sock, reply, want) : 0;
    if (reply_len != nullptr && capacity != 0) *reply_len = got;
    if (got != want) return 1;
    // Data the caller has no room for is read and dropped.
    if (!discard(conn->sock, data_len - want)) return 1;
    return completion != 0 ? 1 : 0;
}
