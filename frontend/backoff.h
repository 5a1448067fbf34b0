// How long a server that failed, or a name that could not be looked up,
// waits before it is tried again: 1 s after the first failure, doubling
// with every further one, at most 60 s, counted from the end of the try
// that failed. Times are rt::clock_ns() readings.
#pragma once

#include <cstdint>

constexpr int64_t BACKOFF_FIRST_SECONDS = 1;
constexpr int64_t BACKOFF_MAX_SECONDS = 60;

struct Backoff {
    uint32_t failures;  // in a row
    int64_t retry_at;   // 0 = may be tried now
};

bool backoff_due(const Backoff* b, int64_t now);
// A try that ended at `now` failed.
void backoff_failed(Backoff* b, int64_t now);
// Starts afresh: the server served.
void backoff_reset(Backoff* b);
