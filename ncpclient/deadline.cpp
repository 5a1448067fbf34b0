// Deadlines of the exchanges with a server: the end of one exchange under
// the connection's time-out and budget, and the wait for a socket that the
// slow paths use.
#include <poll.h>

#include <cerrno>

#include "ncpclient/ncpclient.h"
#include "runtime/clock.h"

int64_t ncp_exchange_deadline(const NcpConnection* conn, int64_t now) {
    int64_t end = NCP_NO_DEADLINE;
    if (conn->timeout > 0) end = now + static_cast<int64_t>(conn->timeout) * rt::NS_PER_SECOND;
    if (conn->budget_end != 0 && conn->budget_end < end) end = conn->budget_end;
    return end;
}

bool ncp_full_window(const NcpConnection* conn, int64_t now, int64_t deadline) {
    if (conn->timeout <= 0) return deadline == NCP_NO_DEADLINE;
    return conn->socket_timeout == conn->timeout &&
           deadline == now + static_cast<int64_t>(conn->timeout) * rt::NS_PER_SECOND;
}

bool ncp_wait_until(int fd, short events, int64_t deadline) {
    for (;;) {
        int wait_ms = -1;
        if (deadline != NCP_NO_DEADLINE) {
            const int64_t left = deadline - rt::clock_ns();
            if (left <= 0) return false;
            // Rounded up, so that a wait never ends just before the deadline.
            const int64_t ms = (left + 999999) / 1000000;
            wait_ms = ms > 1000000 ? 1000000 : static_cast<int>(ms);
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, wait_ms);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // the next send or receive reports it
    }
}
