// The log: text is gathered in a pending buffer and written to
// "<program name>.log" with one time stamp per flush. Names and values go
// into log lines through logtext.h.
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

// While on, every flush also keeps its text, without the time stamp, for
// log_kept() (as much as fits one pending buffer): what the start said, for
// standard error when the start fails, whether the log could be written or
// not. Turning it on forgets what was kept.
void log_keep(bool on);
const char* log_kept();

// Flushes the pending text first when fewer than n bytes are left for it,
// so that a long run of lines (the groups of a user in hundreds) loses none.
void log_make_room(size_t n);
