// The settings, read once at start from "<program name>.conf".
#pragma once

#include <cstddef>
#include <cstdint>

#include "frontend/charset.h"
#include "frontend/context.h"
#include "frontend/serverlist.h"

constexpr size_t CONFIG_TEXT_SIZE = 128;  // at most 126 characters used
// A server list is never cut: it holds whatever fits on a line.
constexpr size_t CONFIG_SERVER_SIZE = 1024;
constexpr int32_t DEFAULT_PORT = 524;
constexpr int32_t DEFAULT_TIMEOUT = 20;

// What a request that could not be decided is answered.
enum FailureReply : int32_t {
    FAILURE_REPLY_ERR = 0,  // "ERR", like "not a member"
    FAILURE_REPLY_BH = 1,   // "BH message=...": the proxy neither caches nor trusts it
};

// Where membership is looked up.
enum Membership : int32_t {
    MEMBERSHIP_USER = 0,    // the user's "Group Membership"
    MEMBERSHIP_GROUP = 1,   // each requested group's "Member"
    MEMBERSHIP_EITHER = 2,  // the user's list first, then the groups' "Member"
};

// When the connection is pinged after a check.
enum PingAfter : int32_t {
    PING_AFTER_NEGATIVE = 0,  // after every answer that is not "member"
    PING_AFTER_FAILURE = 1,   // only after an answer the directory did not give
};

extern char config_server[CONFIG_SERVER_SIZE];  // "host[:port]", comma-separated
extern int32_t config_port;
extern char config_user[CONFIG_TEXT_SIZE];
extern char config_password[CONFIG_TEXT_SIZE];
extern int32_t config_convertpercent;
extern int32_t config_debug;
extern int32_t config_timeout;  // seconds: each exchange with a server, and each connection attempt
extern int32_t config_failurereply;  // FailureReply
extern int32_t config_concurrency;  // "Concurrency Yes": channel IDs before requests and replies
extern Charset config_charset;      // "Charset": how request names become code units
extern int32_t config_striprealm;   // "StripRealm Yes"
extern int32_t config_stripdomain;  // "StripDomain Yes"
extern int32_t config_ignorecase;   // "IgnoreCase Yes": group names compare folded
extern Membership config_membership;  // "Membership"
extern PingAfter config_pingafter;    // "PingAfter"
extern int32_t config_cacheseconds;   // "CacheSeconds": 0 keeps nothing
// "Context" as written, and the contexts it names as code units under
// config_charset (made when the whole file has been read).
extern char config_context[CONTEXT_TEXT_SIZE];
extern ContextList config_contexts;
// The Server value taken apart (made when the whole file has been read).
extern ServerList config_servers;

// 0 when the file was opened and read to its end (whatever it held); 1 when
// it could not be opened or a read failed part-way. A value of FailureReply,
// Concurrency, Charset, StripRealm, StripDomain, IgnoreCase, Membership,
// PingAfter, CacheSeconds or Context that
// cannot be used is reported in the log (one line each, the value read under
// the character set the file sets, flushed before readconfig returns) and
// leaves the setting as it was (the default, unless an earlier line set it);
// a Context list that is not UTF-8 under "Charset UTF-8" (known only at the
// end of the file) leaves no contexts. Server entries beyond the table are
// left out with one line.
int readconfig();
// Why readconfig failed: the errno of the open or read.
extern int config_errno;

// Appends the settings line that starts with head ("wrenacl started."):
// the server, the search user, ConvertPercent, and the keys of the request
// forms that are not at their defaults.
void log_settings(const char* head);

// Splits line in place at blanks (0x20 only); stores at most max tokens.
int splitlinetotokens(char* line, char** tokens, int max);

// Puts every setting back to its default (for a fresh start in tests).
void config_reset();
