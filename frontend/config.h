// The settings, read once at start from "<program name>.conf".
#pragma once

#include <cstddef>
#include <cstdint>

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

extern char config_server[CONFIG_SERVER_SIZE];  // "host[:port]", comma-separated
extern int32_t config_port;
extern char config_user[CONFIG_TEXT_SIZE];
extern char config_password[CONFIG_TEXT_SIZE];
extern int32_t config_convertpercent;
extern int32_t config_debug;
extern int32_t config_timeout;  // seconds: each exchange with a server, and each connection attempt
extern int32_t config_failurereply;  // FailureReply

// 0 when the file was opened and read to its end (whatever it held); 1 when
// it could not be opened or a read failed part-way.
int readconfig();

// Splits line in place at blanks (0x20 only); stores at most max tokens.
int splitlinetotokens(char* line, char** tokens, int max);

// Puts every setting back to its default (for a fresh start in tests).
void config_reset();
