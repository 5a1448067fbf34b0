// A request line taken apart: the channel ID that a proxy running the helper
// with concurrency puts first, the user, and the group names; percent
// decoding and the stripping of Kerberos realms and Windows domains. Works
// in place on the line, like the rest of the request loop; no globals.
#pragma once

#include <cstddef>

#include "frontend/request.h"

// The settings that shape a request line.
struct RequestForm {
    bool concurrency;      // a channel ID (decimal digits) and a blank come first
    bool convert_percent;  // percent-decode; the groups are blank-separated
    bool strip_realm;      // drop everything from the last '@' of the user
    bool strip_domain;     // drop everything up to and including the first '\' or '/'
};

enum ParseStatus {
    PARSE_OK = 0,
    PARSE_NO_BLANK,    // no blank after the user: answer "ERR Invalid string"
    PARSE_NO_CHANNEL,  // with concurrency, the line does not begin with a channel ID
    PARSE_REFUSED,     // taken apart, but a name is not to be asked for: out->refused says why
};

// Takes the zero-terminated line apart in place:
// 1. With concurrency, the line must begin with decimal digits followed by
//    a blank or the end of the line: the channel ID. The rest after that one
//    blank is the request.
// 2. The user ends at the first blank of the request (PARSE_NO_BLANK when
//    there is none); the group text begins after the blanks that follow.
// 3. With convert_percent the user is percent-decoded, and the group text is
//    split at blanks into group names, each percent-decoded (blanks inside a
//    name arrive as %20); when there are none, one empty group name stands.
//    Without it the group text is one group name, blanks and all.
// 4. strip_realm, then strip_domain, shorten the user (after decoding).
// A name in which decoding met "%00", and a user that stripping leaves
// empty, are refused (PARSE_REFUSED): no other name may be asked for in
// their place. channel is set whenever the line began with a channel ID,
// whatever the status; user and groups with PARSE_OK and PARSE_REFUSED.
ParseStatus parse_request(char* line, const RequestForm& form, ParsedRequest* out);

// The channel ID of a line too long to be taken apart, from its first
// `kept` bytes (the rest is gone): digits followed by a blank or a zero byte
// within them, zero-terminated in place; "" when the kept part does not
// begin with a whole ID.
const char* leading_channel(char* line, size_t kept);
