#include "frontend/backoff.h"

#include "runtime/clock.h"

bool backoff_due(const Backoff* b, int64_t now) { return b->retry_at == 0 || now >= b->retry_at; }

void backoff_failed(Backoff* b, int64_t now) {
    if (b->failures < UINT32_MAX) ++b->failures;
    int64_t seconds = BACKOFF_FIRST_SECONDS;
    for (uint32_t i = 1; i < b->failures && seconds < BACKOFF_MAX_SECONDS; ++i) seconds *= 2;
    if (seconds > BACKOFF_MAX_SECONDS) seconds = BACKOFF_MAX_SECONDS;
    b->retry_at = now + seconds * rt::NS_PER_SECOND;
    if (b->retry_at == 0) b->retry_at = 1;
}

void backoff_reset(Backoff* b) { *b = Backoff{0, 0}; }
