// One directory server made ready in `conn`: the connection set-up and,
// with a search user, the login, the authentication and the change of
// connection state, all within `Timeout` seconds. Each failure logs its own
// line ("unable to connect ...", "login failed on ...", "auth failed",
// "connection change state failed"), with Debug the reason, and closes the
// socket.
#pragma once

#include "frontend/servers.h"

// The search user as code units under the configured character set; 1
// (with its log line) when it is not UTF-8 under "Charset UTF-8".
int prepare_search_user();

// 0 when c is ready for checks (flag_connected is set for a login), 1 when
// a step failed.
int connect_server(const ServerCandidate* c);
