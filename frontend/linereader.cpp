#include "frontend/linereader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

void line_reader_init(LineReader* r, int fd) {
    r->fd = fd;
    r->pos = 0;
    r->end = 0;
    r->at_end = false;
}

namespace {

// false at the end of the input or on a read error (then *failed is set).
bool refill(LineReader* r, bool* failed) {
    if (r->at_end) return false;
    ssize_t n;
    do {
        n = read(r->fd, r->buf, sizeof r->buf);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        r->at_end = true;
        *failed = n < 0;
        return false;
    }
    r->pos = 0;
    r->end = static_cast<size_t>(n);
    return true;
}

}  // namespace

[[gnu::hot]] LineStatus read_request_line(LineReader* r, char* out, size_t out_size) {
    size_t used = 0;
    bool any = false;
    bool too_long = false;
    for (;;) {
        if (r->pos == r->end) {
            bool failed = false;
            if (!refill(r, &failed)) {
                if (!any || failed) return LINE_END;
                break;
            }
        }
        any = true;
        const char* start = r->buf + r->pos;
        size_t avail = r->end - r->pos;
        const void* nl = std::memchr(start, '\n', avail);
        size_t take = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - start)
                                    : avail;
        if (!too_long) {
            const size_t room = out_size - 1 - used;
            too_long = take > room;
            const size_t kept = too_long ? room : take;
            std::memcpy(out + used, start, kept);
            used += kept;
        }
        r->pos += take;
        if (nl != nullptr) {
            r->pos += 1;
            break;
        }
    }
    out[used] = '\0';
    return too_long ? LINE_TOO_LONG : LINE_OK;
}
