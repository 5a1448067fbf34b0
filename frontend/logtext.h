// Text for the log from what requests, the configuration and the directory
// hand the helper: every way a name or value is written into a log line.
// Control characters (below 0x20, and 0x7F) are always written as %XX, so
// that no name can forge a log line. Every result is cut to fit the buffer
// the caller gives, whole characters only, and always zero-terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "frontend/charset.h"
#include "frontend/context.h"
#include "frontend/request.h"

// Room for the escaped form of any request name or configuration value
// (every byte or unit at most tripled).
constexpr size_t LOG_ESCAPED_SIZE = 3 * REQUEST_SIZE + 1;

// Bytes as they stand, control characters as %XX.
void log_escape(const char* text, char* out, size_t out_size);

// Code units, unit by unit: as UTF-8 (utf8), or as the low byte of each
// unit, which gives back the bytes of a name read under ISO 8859-1. In
// UTF-8 a surrogate that is not half of a pair becomes U+FFFD, so that
// whatever a server stores, the log stays valid UTF-8.
struct LogUnits {
    char* out;
    size_t size;
    size_t used;
    uint16_t high;  // a high surrogate waiting for its low half, or 0
    bool utf8;
    bool full;
};
void log_units_begin(LogUnits* w, char* out, size_t size, bool utf8);
void log_units_put(LogUnits* w, uint16_t unit);
void log_units_end(LogUnits* w);
void log_escape_units(std::span<const uint16_t> units, bool utf8, char* out, size_t out_size);

// A request name or a configuration value as the character set reads it:
// under ISO 8859-1 its bytes (as log_escape writes them), otherwise its
// characters in UTF-8; text that is not UTF-8 under CHARSET_UTF8 keeps its
// ASCII and has every other byte written as %XX. Every value that is read
// under the character set is logged this way, in every line.
void log_request_name(Charset cs, const char* text, char* out, size_t out_size);

// The user name completed with context k (frontend/context.h), whole, also
// when it is too long to be asked for; false (nothing written) when the name
// is not completed with a context. LOG_COMPLETED_SIZE holds any.
constexpr size_t LOG_COMPLETED_SIZE = 3 * (REQUEST_SIZE + CONTEXT_TEXT_SIZE) + 1;
bool log_completed_name(std::span<const uint16_t> user, const ContextList& contexts, size_t k, bool utf8, char* out,
                        size_t out_size);

// A stored group name in the typeless form of a request, '.' first
// ('CN=staff.OU=sales.O=acme' gives '.staff.sales.acme'), its units as
// log_units_put writes them.
void stored_name_for_log(std::span<const uint8_t> name, bool utf8, char* out, size_t out_size);
