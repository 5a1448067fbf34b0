// The request loop: request lines in, one reply line out for each.
#pragma once

#include "frontend/request.h"

// Takes the line in buffer apart (chkrequest: channel ID, user, groups) and
// answers it: one of RequestResult.
int handle_request();

// Answers request lines from in_fd on out_fd until the input ends or a reply
// cannot be written.
void serve_requests(int in_fd, int out_fd);
