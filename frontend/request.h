// The current request: the line as read and its two parts, shared by the
// request loop (which fills them) and the group check (which reads them).
#pragma once

#include <cstddef>

constexpr size_t REQUEST_SIZE = 512;  // at most 511 characters per request

extern char buffer[REQUEST_SIZE];
extern char* chkuser;
extern char* chkgroup;

enum RequestResult {
    RESULT_MEMBER = 0,
    RESULT_NOT_MEMBER = 1,
    RESULT_INVALID = 2,
    // Not decided: answered as FailureReply says.
    RESULT_UNREACHABLE = 3,  // no connection to any server
    RESULT_FAILED = 4,       // an exchange failed or timed out, or the directory refused the request
};
