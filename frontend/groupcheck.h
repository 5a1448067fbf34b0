// The membership decision for the current request (chkrequest): is its user
// a member of any of its groups?
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t GROUP_BUFFER_SIZE = 30000;

extern uint8_t group_buffer[GROUP_BUFFER_SIZE];

// Reads the user and group names of chkrequest as code units under
// config_charset, for check_group. 1 when one of them is not UTF-8 under
// "Charset UTF-8" (then, with Debug, the reason and the decision are
// logged: the request gets "ERR" without a directory request); 0 otherwise.
int convert_request_names();

// After convert_request_names: RESULT_MEMBER when the user, under one of
// the names it is tried as (frontend/context.h), is a member of one of the
// groups; RESULT_NOT_MEMBER when not (an unknown user, a user without groups
// included); RESULT_UNREACHABLE or RESULT_FAILED when the directory could
// not tell, RESULT_NAME_TOO_LONG when no name the user is tried as fits a
// resolve request (frontend/request.h).
int check_group();
// The answer to a request while no server can be reached: RESULT_UNREACHABLE,
// with Debug the reason and the decision line.
int check_group_unreachable();
