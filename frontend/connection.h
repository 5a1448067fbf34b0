// The connection manager: the one server connection in `conn`, opened and
// (with a search user) logged in by make_connection, ended by
// clear_connection. make_connection is one connection phase: the servers of
// the list in order, skipping those that back off (frontend/servers.h).
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "ncpclient/ncpclient.h"

extern NcpConnection conn;
extern int32_t flag_connected;  // 1 while a logged-in connection is held
extern sockaddr_in server_sockaddr;

// 0 when the connection is ready, 1 otherwise: no candidate was due, or
// each one tried logged its failure (its socket closed) and backs off.
int make_connection();

// 0 when a logged-in connection was closed, 1 when none was held.
int clear_connection();

// The connection held broke (a failed exchange or ping): its server backs off.
void server_connection_lost();
