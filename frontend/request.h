// The current request: the line as read and its parts, shared by the request
// loop (which fills them) and the group check (which reads them). The front
// end's functions that every request runs through are marked [[gnu::hot]]:
// the compiler places them together, so that a check touches few pages of
// code between its system calls.
#pragma once

#include <cstddef>

constexpr size_t REQUEST_SIZE = 512;  // at most 511 characters per request

// A line of n bytes holds at most n / 2 + 1 blank-separated words.
constexpr size_t REQUEST_GROUPS_MAX = REQUEST_SIZE / 2 + 1;

// A request line taken apart in place (frontend/requestparse.h).
struct ParsedRequest {
    const char* channel;  // the channel ID's digits ("" without one)
    char* user;
    char* groups[REQUEST_GROUPS_MAX];
    size_t group_count;   // at least 1 for a request that is checked
    const char* refused;  // why a request is not asked (PARSE_REFUSED), or null
};

extern char buffer[REQUEST_SIZE];
extern ParsedRequest chkrequest;  // the parts of buffer

enum RequestResult {
    RESULT_MEMBER = 0,
    RESULT_NOT_MEMBER = 1,
    RESULT_INVALID = 2,
    // Not decided: answered as FailureReply says.
    RESULT_UNREACHABLE = 3,  // no connection to any server
    RESULT_FAILED = 4,       // an exchange failed or timed out, or the directory refused the request
    RESULT_NAME_TOO_LONG = 5,  // no name the user could be asked as fits a resolve request
    // "ERR" without any directory request (and no ping after it).
    RESULT_NOT_ASKED = 6,  // a name refused: not UTF-8 under "Charset UTF-8",
                           // holding a NUL, or emptied by stripping
};
