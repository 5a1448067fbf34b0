#include "frontend/connection.h"

#include "frontend/cache.h"
#include "frontend/config.h"
#include "frontend/connect.h"
#include "frontend/log.h"
#include "frontend/reason.h"
#include "frontend/request.h"
#include "frontend/servers.h"
#include "runtime/clock.h"

int32_t flag_connected = 0;
sockaddr_in server_sockaddr;

namespace {

// Whether this request ran its connection phase before the check.
bool phase_ran = false;
// Whether a check completed on the connection held since its set-up.
bool checked = false;

int try_server(ServerCandidate* c) {
    servers_note_try();
    if (connect_server(c) != 0) {
        backoff_failed(&c->backoff, rt::clock_ns());
        return 1;
    }
    server_use(c);
    checked = false;
    cache_clear();  // what was kept belongs to the connection before
    return 0;
}

// No connection, and when the next try is due.
void log_next_try() {
    addtolog("no directory server reachable, next try in %ld s.\r\n", servers_next_try_seconds(rt::clock_ns()));
    writetolog();
}

// A check that the directory answered in full: the connection works, and
// its server's back-off starts afresh.
void check_completed() {
    checked = true;
    ServerCandidate* c = server_in_use();
    if (c != nullptr) backoff_reset(&c->backoff);
}

}  // namespace

RequestBudget::RequestBudget(int32_t seconds) : saved_(conn.budget_end) {
    conn.budget_end = rt::clock_ns() + static_cast<int64_t>(seconds) * rt::NS_PER_SECOND;
}

RequestBudget::~RequestBudget() { conn.budget_end = saved_; }

int make_connection() {
    if (flag_connected == 1) return 1;
    if (prepare_search_user() != 0) return 1;
    const int64_t now = rt::clock_ns();
    const size_t places = servers_refresh(now);
    for (size_t i = 0; i < places; ++i) {
        ServerCandidate* c = server_at(i);
        if (c != nullptr && backoff_due(&c->backoff, now) && try_server(c) == 0) return 0;
    }
    ServerCandidate* lost = server_lost_candidate();
    if (lost != nullptr && !backoff_due(&lost->backoff, now)) return try_server(lost);
    return 1;
}

int clear_connection() {
    if (flag_connected == 0) return 1;
    flag_connected = 0;
    NCPCONN_disconnect(&conn);
    addtolog("connection to server closed.\r\n");
    writetolog();
    return 0;
}

int connection_before_check() {
    phase_ran = conn.sock < 0;
    if (!phase_ran) return 0;
    clear_connection();
    if (make_connection() == 0) return 0;
    // While every server still backs off nothing was tried: no line for
    // each request.
    if (servers_tried() > 0) log_next_try();
    return 1;
}

void connection_after_check(const CheckResult& check) {
    // A failed exchange has closed the socket already; then the ping fails
    // at once, without a wait.
    bool broken = ncp_failure_is_transport(check.failure.kind);
    // A user that could not be resolved drops a logged-in connection.
    if (check.failed == CHECK_RESOLVE) clear_connection();
    log_check_decision(check);
    if (check.answered && !broken) check_completed();
    // The ping after a negative answer (with PingAfter failure, only after
    // one the directory did not give); never after an answer from the cache.
    if (check.verdict == RESULT_MEMBER || check.cached) return;
    if (config_pingafter == PING_AFTER_FAILURE && check.failed == CHECK_DONE) return;
    if (NCPCONN_ndsping(&conn) == 0) return;
    broken = broken || conn.failure.kind != NCP_FAIL_NOT_CONNECTED;
    if (config_debug) log_failure_reason("ping", conn.failure);
    addtolog("nds ping failed. reconnecting.\r\n");
    writetolog();
    if (broken) server_lost(rt::clock_ns(), checked);
    clear_connection();
    // At most one connection phase per request; without a connection, the
    // loss says when the next try is due.
    if (!phase_ran && make_connection() == 0) return;
    log_next_try();
}
