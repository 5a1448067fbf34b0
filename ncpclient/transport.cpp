// NCP over TCP: one request framed and sent whole, one reply head read, the
// reply data read into the caller's buffer and any excess read and dropped,
// so that the stream stays in step for the next exchange.
//
// Common path: one send and one receive per exchange. The send never blocks
// (MSG_DONTWAIT); the receive takes the head and the data together (two
// buffers, one call) and blocks under the socket's receive time-out, which
// is the connection's time-out. Only when a reply arrives in pieces, or less
// than a whole time-out is left, does each further wait go through poll()
// with the time left. A failure of the transport itself (time-out, peer
// closed, an error, a reply out of step) closes the socket: the stream
// cannot be trusted any more, and a ping on it would only wait once more.
#include <sys/socket.h>
#include <sys/uio.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "ncpclient/ncpclient.h"
#include "runtime/clock.h"
#include "runtime/cursor.h"

namespace {

constexpr uint8_t kRequestSignature[4] = {'D', 'm', 'd', 'T'};
constexpr uint8_t kReplySignature[4] = {'t', 'N', 'c', 'P'};
constexpr uint32_t kVersion = 1;
// Reply data that a server may announce; more is a broken or hostile peer.
constexpr size_t kMaxReplyData = 64 * 1024;

// Ends the exchange as a transport failure: the socket is closed. An I/O
// error keeps its errno as the code.
int transport_failed(NcpConnection* conn, NcpFailureKind kind, int err) {
    conn->failure.kind = kind;
    conn->failure.code = kind == NCP_FAIL_IO ? err : 0;
    NCPCONN_disconnect(conn);
    return 1;
}

NcpFailureKind kind_of_errno(int err) {
    if (err == EAGAIN || err == EWOULDBLOCK) return NCP_FAIL_TIMEOUT;  // the socket's time-out
    if (err == EPIPE || err == ECONNRESET) return NCP_FAIL_CLOSED;
    return NCP_FAIL_IO;
}

// Sends n bytes by the deadline. NCP_FAIL_NONE when all went out.
NcpFailureKind send_all(int fd, const uint8_t* p, size_t n, int64_t deadline) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!ncp_wait_until(fd, POLLOUT, deadline)) return NCP_FAIL_TIMEOUT;
            continue;
        }
        return r == 0 ? NCP_FAIL_IO : kind_of_errno(errno);
    }
    return NCP_FAIL_NONE;
}

// The reply as it comes in: the 16-byte head into the packet area, up to
// `capacity` data bytes into the caller's buffer, the rest of the announced
// data read and dropped.
struct Incoming {
    std::span<uint8_t> head;  // NCP_TCP_HEAD bytes
    std::span<uint8_t> data;  // the caller's reply buffer (may be empty)
    size_t head_got = 0;
    bool head_known = false;
    size_t data_len = 0;    // announced, once the head is known
    size_t data_got = 0;    // bytes stored in data
    size_t dropped = 0;     // bytes beyond the capacity read and dropped
    uint8_t completion = 0;
};

// Takes the head apart once it is whole. False when it cannot be a reply.
bool parse_head(Incoming* in) {
    rt::Reader head(in->head);
    std::span<const uint8_t> signature = head.bytes(4);
    const uint32_t length = head.be32();
    head.skip(6);
    in->completion = head.u8();
    if (!head.ok()) return false;
    if (std::memcmp(signature.data(), kReplySignature, sizeof kReplySignature) != 0) return false;
    if (length < NCP_TCP_HEAD || length - NCP_TCP_HEAD > kMaxReplyData) return false;
    in->data_len = length - NCP_TCP_HEAD;
    in->head_known = true;
    // Data beyond the announced length came with the head: out of step.
    return in->data_got <= in->data_len;
}

size_t data_wanted(const Incoming* in) {
    return in->data_len < in->data.size() ? in->data_len : in->data.size();
}

iovec iovec_of(std::span<uint8_t> s) { return iovec{s.data(), s.size()}; }

bool complete(const Incoming* in) {
    return in->head_known && in->data_got == data_wanted(in) && in->dropped == in->data_len - data_wanted(in);
}

// Receives the whole reply by the deadline; NCP_FAIL_NONE when it is in.
// The first receive blocks under the socket's time-out when `full_window`;
// every other one waits for data through poll() first.
NcpFailureKind receive_reply(int fd, Incoming* in, int64_t deadline, bool full_window) {
    uint8_t scratch[1024];
    bool first = true;
    while (!complete(in)) {
        iovec iov[2];
        size_t parts = 0;
        if (!in->head_known) {
            iov[parts++] = iovec_of(in->head.subspan(in->head_got));
            // Until the head tells the length, as much data as the buffer holds.
            if (in->data.size() > in->data_got) iov[parts++] = iovec_of(in->data.subspan(in->data_got));
        } else if (in->data_got < data_wanted(in)) {
            iov[parts++] = iovec_of(in->data.subspan(in->data_got, data_wanted(in) - in->data_got));
        } else {
            const size_t left = in->data_len - data_wanted(in) - in->dropped;
            iov[parts++] = iovec_of(std::span<uint8_t>(scratch).first(left < sizeof scratch ? left : sizeof scratch));
        }
        int flags = 0;
        if (!(first && full_window)) {
            if (!ncp_wait_until(fd, POLLIN, deadline)) return NCP_FAIL_TIMEOUT;
            flags = MSG_DONTWAIT;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = parts;
        const ssize_t r = ::recvmsg(fd, &msg, flags);
        if (r < 0) {
            if (errno == EINTR) continue;
            // After poll said "ready", EAGAIN is a spurious wake-up.
            if (flags != 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            return kind_of_errno(errno);
        }
        if (r == 0) return NCP_FAIL_CLOSED;
        first = false;
        size_t got = static_cast<size_t>(r);
        if (!in->head_known) {
            const size_t to_head = got < NCP_TCP_HEAD - in->head_got ? got : NCP_TCP_HEAD - in->head_got;
            in->head_got += to_head;
            in->data_got += got - to_head;
            if (in->head_got == NCP_TCP_HEAD && !parse_head(in)) return NCP_FAIL_OUT_OF_STEP;
        } else if (in->data_got < data_wanted(in)) {
            in->data_got += got;
        } else {
            in->dropped += got;
        }
    }
    return NCP_FAIL_NONE;
}

}  // namespace

int ncp_tcp_exchange(NcpConnection* conn, uint16_t type, const uint8_t* data, size_t n,
                     uint8_t* reply, size_t* reply_len, int64_t deadline, bool full_window) {
    if (conn == nullptr) return 1;
    conn->failure = NcpFailure{NCP_FAIL_NONE, type, n != 0 && data != nullptr ? data[0] : uint8_t{0}, 0, 0};
    if (conn->sock < 0) {
        conn->failure.kind = NCP_FAIL_NOT_CONNECTED;
        return 1;
    }
    if ((reply == nullptr) != (reply_len == nullptr)) return 1;
    if (n > NCP_PAYLOAD || (n != 0 && data == nullptr)) return 1;
    // Nothing sent yet: the stream is in step, the connection stays.
    if (!full_window && deadline != NCP_NO_DEADLINE && deadline <= rt::clock_ns()) {
        conn->failure.kind = NCP_FAIL_TIMEOUT;
        return 1;
    }

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
    NcpFailureKind sent = send_all(conn->sock, conn->packet, w.pos(), deadline);
    if (sent != NCP_FAIL_NONE) return transport_failed(conn, sent, errno);

    // The reply head stays in the packet area: the create request takes the
    // connection number from it.
    Incoming in{std::span<uint8_t>(conn->packet).first(NCP_TCP_HEAD),
                reply != nullptr ? std::span<uint8_t>(reply, *reply_len) : std::span<uint8_t>()};
    NcpFailureKind received = receive_reply(conn->sock, &in, deadline, full_window);
    if (reply_len != nullptr && !in.data.empty()) *reply_len = in.data_got;
    if (received != NCP_FAIL_NONE) return transport_failed(conn, received, errno);
    if (in.completion != 0) {
        conn->failure.kind = NCP_FAIL_COMPLETION;
        conn->failure.code = in.completion;
        return 1;
    }
    return 0;
}

int ncp_tcp_call(NcpConnection* conn, uint16_t type, const uint8_t* data, size_t n,
                 uint8_t* reply, size_t* reply_len) {
    if (conn == nullptr) return 1;
    const int64_t now = rt::clock_ns();
    const int64_t deadline = ncp_exchange_deadline(conn, now);
    return ncp_tcp_exchange(conn, type, data, n, reply, reply_len, deadline, ncp_full_window(conn, now, deadline));
}
