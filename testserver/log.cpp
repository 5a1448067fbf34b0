#include "testserver/log.h"

#include <cstdarg>
#include <cstdio>

namespace ts {
namespace {

FILE* g_log = nullptr;

FILE* out() { return g_log != nullptr ? g_log : stderr; }

void vline(const char* prefix, const char* fmt, va_list ap) {
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, ap);
    std::fprintf(out(), "%s%s\n", prefix, text);
    std::fflush(out());
}

}  // namespace

bool log_open(const char* path) {
    if (path == nullptr) return true;
    FILE* f = std::fopen(path, "a");
    if (f == nullptr) return false;
    g_log = f;
    return true;
}

void log_close() {
    if (g_log != nullptr) std::fclose(g_log);
    g_log = nullptr;
}

void log_line(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vline("", fmt, ap);
    va_end(ap);
}

void deviation(uint32_t conn, const char* fmt, ...) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "DEVIATION conn=%u: ", conn);
    va_list ap;
    va_start(ap, fmt);
    vline(prefix, fmt, ap);
    va_end(ap);
}

}  // namespace ts
