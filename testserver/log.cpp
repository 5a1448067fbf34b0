#include "testserver/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace ts {
namespace {

FILE* g_log = nullptr;
FILE* g_record = nullptr;
std::mutex g_mu;  // the in-process server logs from its own thread
bool g_capture = false;
std::string g_captured;

FILE* out() { return g_log != nullptr ? g_log : stderr; }

void vline(const char* prefix, const char* fmt, va_list ap) {
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, ap);
    const std::lock_guard<std::mutex> lock(g_mu);
    if (g_capture) {
        g_captured.append(prefix).append(text).append("\n");
        return;
    }
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
    if (g_record != nullptr) std::fclose(g_record);
    g_log = g_record = nullptr;
}

bool record_open(const char* path) {
    g_record = std::fopen(path, "a");
    return g_record != nullptr;
}

void record_line(const char* fmt, ...) {
    if (g_record == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(g_record, fmt, ap);
    va_end(ap);
    std::fputc('\n', g_record);
    std::fflush(g_record);
}

void log_capture(bool on) {
    const std::lock_guard<std::mutex> lock(g_mu);
    g_capture = on;
    g_captured.clear();
}

std::string log_captured() {
    const std::lock_guard<std::mutex> lock(g_mu);
    return g_captured;
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
