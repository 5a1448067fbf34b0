#include "frontend/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "frontend/progname.h"
#include "runtime/fd.h"

char logbuffer[LOGBUFFER_SIZE];
int32_t llen = 0;

namespace {

constexpr size_t STAMP_SIZE = 32;
constexpr size_t LOG_NAME_LIMIT = 255;

// Time stamp and pending text leave in one write, so that helpers sharing
// the file (appending) never tear each other's records.
char record[STAMP_SIZE + LOGBUFFER_SIZE];

size_t format_stamp(char* out) {
    time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof local);
    int n = std::snprintf(out, STAMP_SIZE, "%2.02d.%2.02d.%4.04d %2.02d:%2.02d:%2.02d ",
                          local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour,
                          local.tm_min, local.tm_sec);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < STAMP_SIZE ? static_cast<size_t>(n) : STAMP_SIZE - 1;
}

bool keeping = false;
char kept[LOGBUFFER_SIZE];
size_t kept_length = 0;
size_t kept_from = 0;  // the pending text before this was kept already

}  // namespace

void log_keep(bool on) {
    keeping = on;
    kept_length = 0;
    kept[0] = '\0';
}

const char* log_kept() { return kept; }

void addtolog(const char* format, ...) {
    size_t used = static_cast<size_t>(llen);
    size_t room = LOGBUFFER_SIZE - used - 1;  // terminator included
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(logbuffer + used, room, format, ap);
    va_end(ap);
    if (n <= 0) return;
    size_t stored = static_cast<size_t>(n) < room - 1 ? static_cast<size_t>(n) : room - 1;
    llen = static_cast<int32_t>(used + stored);
}

void writetolog() {
    // Pending text that stays pending (the log cannot be opened) is kept once.
    if (keeping && static_cast<size_t>(llen) > kept_from) {
        const size_t n = std::min(static_cast<size_t>(llen) - kept_from, sizeof kept - 1 - kept_length);
        std::memcpy(kept + kept_length, logbuffer + kept_from, n);
        kept_length += n;
        kept[kept_length] = '\0';
        kept_from = static_cast<size_t>(llen);
    }
    char name[LOG_NAME_LIMIT + sizeof ".log"];
    if (derive_file_name(myname, LOG_NAME_LIMIT, ".log", name, sizeof name) != 0) return;
    int raw;
    do {
        raw = open(name, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return;
    rt::UniqueFd fd(raw);

    size_t n = format_stamp(record);
    std::memcpy(record + n, logbuffer, static_cast<size_t>(llen));
    n += static_cast<size_t>(llen);
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd.get(), record + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;  // a failed write loses the text, as a full disk would
        done += static_cast<size_t>(w);
    }
    llen = 0;
    logbuffer[0] = '\0';
    kept_from = 0;
}

void log_make_room(size_t n) {
    if (LOGBUFFER_SIZE - static_cast<size_t>(llen) <= n) writetolog();
}
