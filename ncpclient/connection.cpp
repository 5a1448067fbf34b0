// The connection record's life: start state, TCP connection with the NCP
// service connection, and disconnect. A record holds a socket only while it
// is open; every other time `sock` is -1.
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "ncpclient/ncpclient.h"
#include "runtime/wipe.h"

namespace {

void close_socket(NcpConnection* conn) {
    if (conn->sock >= 0) ::close(conn->sock);  // nothing to do about a failed close
    conn->sock = -1;
}

// Applies the time-out (seconds) to both directions: the send time-out
// bounds the connect, the receive time-out the first wait for each reply.
// A socket that refuses them still works and must not stop the connect;
// the record then says that the socket has no receive time-out, and every
// wait for a reply goes through poll() with the time left.
void apply_timeouts(NcpConnection* conn, int seconds) {
    conn->timeout = seconds > 0 ? seconds : 0;
    conn->socket_timeout = 0;
    if (seconds <= 0) return;
    timeval tv{};
    tv.tv_sec = seconds;
    if (::setsockopt(conn->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0) conn->socket_timeout = seconds;
    static_cast<void>(::setsockopt(conn->sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv));
}

constexpr uint8_t kCreateConnection[1] = {0x00};

}  // namespace

NcpConnection conn;

void NCPCONN_init(NcpConnection* conn) {
    rt::wipe_object(*conn);
    conn->sock = -1;
    conn->task = 1;
    conn->conn_number = 0xFFFF;
}

int ncp_connect_tcp(NcpConnection* conn, const sockaddr_in* server, int timeout) {
    if (conn == nullptr || server == nullptr) return 1;
    conn->failure = NcpFailure{};
    conn->connected = 0;
    close_socket(conn);
    std::memset(&conn->local_addr, 0, sizeof conn->local_addr);
    conn->local_addr.sin_family = AF_INET;
    conn->local_addr.sin_port = 0;
    conn->local_addr.sin_addr.s_addr = htonl(INADDR_ANY);

    int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return 1;
    conn->sock = fd;
    apply_timeouts(conn, timeout);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&conn->local_addr), sizeof conn->local_addr) != 0) {
        close_socket(conn);
        return 1;
    }
    conn->sequence = 0;
    conn->task = 1;
    conn->conn_number = 0xFFFF;
    conn->server_addr = *server;
    // A blocking connect, bounded by the send time-out.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&conn->server_addr), sizeof conn->server_addr) != 0) {
        const bool timed_out = errno == EINPROGRESS || errno == EAGAIN;
        conn->failure = NcpFailure{timed_out ? NCP_FAIL_TIMEOUT : NCP_FAIL_IO, 0, 0, 0, timed_out ? 0 : errno};
        close_socket(conn);
        return 1;
    }
    if (ncp_tcp_call(conn, NCP_CREATE_CONNECTION, kCreateConnection, sizeof kCreateConnection, nullptr,
                     nullptr) != 0) {
        close_socket(conn);
        return 1;
    }
    // Connection number: high byte at 13, low byte at 11 of the reply head.
    conn->conn_number = static_cast<uint16_t>((conn->packet[13] << 8) | conn->packet[11]);
    conn->connected = 1;
    return 0;
}

int NCPCONN_disconnect(NcpConnection* conn) {
    if (conn == nullptr) return 0;
    conn->connected = 0;
    close_socket(conn);
    return 0;
}
