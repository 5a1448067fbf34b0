// The server's log: one line per event, to stderr or to a file given with
// --log (or kept in memory for in-process tests). Lines that start with "DEVIATION" mark a request that broke a rule
// of the protocol; tests grep for them.
#pragma once

#include <cstdint>
#include <string>

namespace ts {

// Opens the log file (appending); a null path logs to stderr. False when the
// file cannot be opened.
bool log_open(const char* path);
void log_close();

// Keeps every line in memory as well, for tests that serve in-process.
void log_capture(bool on);
// The lines kept since capture was switched on (one string, "\n" after each).
std::string log_captured();

// One line, "\n" added.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The record of requests (--record FILE): a file of its own, one line each,
// written at once. record_line does nothing while no file is open.
bool record_open(const char* path);
void record_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "DEVIATION conn=N: ..." for the connection with NCP connection number conn.
void deviation(uint32_t conn, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ts
