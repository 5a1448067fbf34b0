// The connection's policy: the one server connection in `conn`, when it is
// built, tested, given up and built again, and which server backs off.
//
// A request makes two calls around its check (frontend/groupcheck.h):
// connection_before_check, which runs a connection phase when no connection
// is held, and connection_after_check, which drops a logged-in connection
// whose user could not be resolved, pings after a negative answer, backs off
// the server of a connection that broke and builds a new connection. At most
// one connection phase runs per request. A server's back-off starts afresh
// only when a check completed on it, not when its set-up alone succeeded.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "frontend/groupcheck.h"
#include "ncpclient/ncpclient.h"

extern int32_t flag_connected;  // 1 while a logged-in connection is held
extern sockaddr_in server_sockaddr;

// How long a run of exchanges on `conn` may take in all: every exchange
// ends by then (and within Timeout). The budget that was set before is put
// back when the guard ends.
class RequestBudget {
public:
    explicit RequestBudget(int32_t seconds);
    ~RequestBudget();
    RequestBudget(const RequestBudget&) = delete;
    RequestBudget& operator=(const RequestBudget&) = delete;

private:
    int64_t saved_;
};

// One connection phase: the servers of the list in order, those that back
// off skipped; then, when none was reached, the server whose connection just
// broke, once more, if that connection had completed a check. 0 when the
// connection is ready, 1 otherwise (each server tried logged its failure and
// backs off; none tried when all back off). With a logged-in connection held
// it does nothing and returns 1.
int make_connection();

// 0 when a logged-in connection was closed, 1 when none was held.
int clear_connection();

// Before a request's check: a connection phase when no connection is held.
// 0 when there is a connection to check on, 1 when no server could be
// reached (a phase that tried servers and reached none logs when the next
// try is due).
int connection_before_check();

// After the check: what it tells of the connection, the check's decision
// line, and with a negative answer the ping, and the reconnect when the
// ping fails.
void connection_after_check(const CheckResult& check);
