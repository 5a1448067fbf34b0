// The server's log: one line per event, to stderr or to a file given with
// --log. Lines that start with "DEVIATION" mark a request that broke a rule
// of the protocol; tests grep for them.
#pragma once

#include <cstdint>

namespace ts {

// Opens the log file (appending); a null path logs to stderr. False when the
// file cannot be opened.
bool log_open(const char* path);
void log_close();

// One line, "\n" added.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "DEVIATION conn=N: ..." for the connection with NCP connection number conn.
void deviation(uint32_t conn, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ts
