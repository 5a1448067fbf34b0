// Request names as the directory's 16-bit code units, read under the
// configured character set, and code units back to text for the log.
// Nothing here allocates: every result goes to a buffer the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

enum Charset : int32_t {
    CHARSET_ISO8859_1 = 0,  // each byte is one unit (0x00..0xFF)
    CHARSET_UTF8 = 1,       // strict UTF-8; beyond U+FFFF as surrogate pairs
    CHARSET_AUTO = 2,       // UTF-8 when the name is valid UTF-8 holding a
                            // multi-byte sequence, else ISO 8859-1
};

enum NameStatus {
    NAME_OK = 0,
    NAME_INVALID = 1,   // not UTF-8 (under CHARSET_UTF8 only)
    NAME_TOO_LONG = 2,  // the units do not fit out
};

// The bytes of text as code units under cs, stored in out; *count is the
// number of units stored (0 unless NAME_OK). No terminating unit is added.
// A name never gives more units than it has bytes, so out of text.size()
// units always suffices.
NameStatus name_to_units(Charset cs, std::string_view text, std::span<uint16_t> out, size_t* count);

// True when text is well-formed UTF-8: no overlong form, no surrogate
// (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequence and no
// stray continuation byte. *multibyte (when given) tells whether it holds a
// sequence of more than one byte.
bool utf8_valid(std::string_view text, bool* multibyte);

// Code units for the log, unit by unit: as UTF-8, or (not utf8) as the low
// byte of each unit, which gives back the bytes of a name read under
// ISO 8859-1. Code points (bytes) below 0x20 and 0x7F are written as %XX, as
// log_escape does for bytes; in UTF-8 a surrogate that is not half of a pair
// becomes U+FFFD (EF BF BD), so that whatever a server stores, the log stays
// valid UTF-8. Characters that do not fit whole are dropped, and so is
// everything after them; out is always zero-terminated.
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

// The whole of units written as above. Every unit takes at most 3 bytes, so
// LOG_ESCAPED_SIZE (log.h) holds the units of any request name.
void log_escape_units(std::span<const uint16_t> units, bool utf8, char* out, size_t out_size);

// A request name for the log as the charset reads it: under ISO 8859-1 its
// bytes (as log_escape writes them), otherwise its units in UTF-8; a name
// that is not UTF-8 under CHARSET_UTF8 keeps its ASCII and has every other
// byte written as %XX. LOG_ESCAPED_SIZE holds any request name.
void log_request_name(Charset cs, const char* text, char* out, size_t out_size);
