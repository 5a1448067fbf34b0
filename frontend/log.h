// The log: text is gathered in a pending buffer and written to
// "<program name>.log" with one time stamp per flush.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t LOGBUFFER_SIZE = 10240;

extern char logbuffer[LOGBUFFER_SIZE];
extern int32_t llen;

// Appends one formatted message; what does not fit is dropped silently.
void addtolog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the time stamp and the pending text to the log file in one write and
// empties the buffer. When the file cannot be opened the text stays pending.
void writetolog();

// Copies text into out with bytes below 0x20 and 0x7F written as %XX, so that
// names taken from requests cannot forge log lines. Cut to fit out_size.
void log_escape(const char* text, char* out, size_t out_size);

// Room for the escaped form of a request name (every byte tripled).
constexpr size_t LOG_ESCAPED_SIZE = 3 * 512 + 1;
