// The source of every random byte of the login and authentication: the
// operating system's cryptographic generator. Kept alone in its own object so
// that a test can link a scripted source in its place.
#include <sys/random.h>

#include <cerrno>

#include "ndsauth/ndsauth.h"

int fillrandom(void* p, size_t n) {
    auto* out = static_cast<unsigned char*>(p);
    size_t done = 0;
    while (done < n) {
        ssize_t got = getrandom(out + done, n - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}
