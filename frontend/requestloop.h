// The life of the process: start, the request loop, stop.
#pragma once

#include "frontend/request.h"

// Takes the line in buffer apart (chkrequest: channel ID, user, groups),
// checks it, and after a negative answer tests the connection and rebuilds
// it when it is gone. The result is one of RequestResult.
int handle_request();

// Answers request lines from in_fd on out_fd until the input ends or a reply
// cannot be written.
void serve_requests(int in_fd, int out_fd);

// The whole process: program name, configuration, connection, requests,
// stop. Returns the exit status, 0 on every path.
int wrenacl_main(int argc, char** argv);
