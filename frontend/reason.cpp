#include "frontend/reason.h"

#include <cstdio>
#include <cstring>

#include "frontend/log.h"

namespace {

constexpr uint8_t kNdsFunction = 104;

// " in verb V", " in NCP function F", " in the create request", or nothing
// when no exchange was begun (the connect itself).
void where(const NcpFailure& f, char* out, size_t size) {
    if (f.type == 0) {
        out[0] = '\0';
    } else if (f.type == NCP_CREATE_CONNECTION) {
        std::snprintf(out, size, " in the create request");
    } else if (f.function == kNdsFunction && f.verb != 0) {
        std::snprintf(out, size, " in verb %u", static_cast<unsigned>(f.verb));
    } else {
        std::snprintf(out, size, " in NCP function %u", static_cast<unsigned>(f.function));
    }
}

}  // namespace

void log_failure_reason(const char* step, const NcpFailure& f) {
    char at[40];
    where(f, at, sizeof at);
    switch (f.kind) {
        case NCP_FAIL_NDS:
            addtolog("DEBUG: %s failed: NDS error %d from verb %u\r\n", step, static_cast<int>(f.code),
                     static_cast<unsigned>(f.verb));
            return;
        case NCP_FAIL_COMPLETION:
            addtolog("DEBUG: %s failed: NCP completion code %d%s\r\n", step, static_cast<int>(f.code), at);
            return;
        case NCP_FAIL_NOT_CONNECTED:
            addtolog("DEBUG: %s failed: no connection\r\n", step);
            return;
        case NCP_FAIL_BATCHES:
            addtolog("DEBUG: %s failed: %s%s\r\n", step,
                     f.code == NDS_BATCH_EMPTY      ? "a batch without values before the last"
                     : f.code == NDS_BATCH_REPEATED ? "an iteration handle handed out twice"
                                                    : "more than 1000 batches",
                     at);
            return;
        case NCP_FAIL_KEY_SIZE:
            addtolog("DEBUG: %s failed: a key of %d bits\r\n", step, static_cast<int>(f.code));
            return;
        case NCP_FAIL_TIMEOUT:
            addtolog("DEBUG: %s failed: time-out%s\r\n", step, at);
            return;
        case NCP_FAIL_CLOSED:
            addtolog("DEBUG: %s failed: connection closed by the server%s\r\n", step, at);
            return;
        case NCP_FAIL_IO:
            addtolog("DEBUG: %s failed: %s%s\r\n", step, std::strerror(static_cast<int>(f.code)), at);
            return;
        case NCP_FAIL_OUT_OF_STEP:
            addtolog("DEBUG: %s failed: reply out of step%s\r\n", step, at);
            return;
        case NCP_FAIL_NONE:
            break;
    }
    if (at[0] != '\0') {
        addtolog("DEBUG: %s failed: reply not as expected%s\r\n", step, at);
    } else {
        addtolog("DEBUG: %s failed: no request sent\r\n", step);
    }
}
