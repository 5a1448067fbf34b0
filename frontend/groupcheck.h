// The membership decision for the current request (chkrequest): is its user
// a member of any of its groups? The check asks the directory over `conn`
// and says what it found; what becomes of the connection afterwards is the
// connection's business (frontend/connection.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ncpclient/ncpclient.h"

constexpr size_t GROUP_BUFFER_SIZE = 30000;

extern uint8_t group_buffer[GROUP_BUFFER_SIZE];

// The step a check could not do, when its verdict is undecided.
enum CheckStep : uint8_t {
    CHECK_DONE = 0,
    CHECK_RESOLVE,  // the user could not be resolved (other than "no such entry")
    CHECK_READ,     // the user's groups could not be read (other than "no such attribute")
    CHECK_GROUP,    // a requested group could not be resolved or its members read
};

struct CheckResult {
    int verdict;          // RequestResult
    CheckStep failed;     // CHECK_DONE unless the verdict is undecided by a failed step
    NcpFailure failure;   // why the last exchange failed (NCP_FAIL_NONE: none did)
    bool answered;        // the directory answered every exchange the check sent (at least one)
    bool cached;          // answered from what the cache kept, without an exchange
    uint16_t exchanges;   // exchanges sent
    size_t matched;       // with RESULT_MEMBER: the group that matched
};

// Reads the user and group names of chkrequest as code units under
// config_charset, for check_group. Why the request is refused when one of
// them is not UTF-8 under "Charset UTF-8" (check_refused); null otherwise.
const char* convert_request_names();

// After convert_request_names: RESULT_MEMBER when the user, under one of
// the names it is tried as (frontend/context.h), is a member of one of the
// groups, as Membership says where to look (every batch of a read, until a
// match); RESULT_NOT_MEMBER when not (an unknown user, a user without groups
// included); RESULT_UNREACHABLE or RESULT_FAILED when the directory could
// not tell, RESULT_NAME_TOO_LONG when no name the user is tried as fits a
// resolve request (frontend/request.h). With Debug, the lines of each step
// are pending in the log; log_check_decision ends them.
CheckResult check_group();

// With Debug, the decision line of the check (the group that matched, or
// all the groups asked for) and the flush of the request's lines.
void log_check_decision(const CheckResult& check);

// A request not asked for: why (with Debug) and the decision line;
// RESULT_NOT_ASKED.
int check_refused(const char* why);
// A request while no server can be reached: RESULT_UNREACHABLE, with Debug
// the reason and the decision line.
int check_unreachable();
