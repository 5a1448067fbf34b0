// Request names as the directory's 16-bit code units, read under the
// configured character set. Nothing here allocates: every result goes to a
// buffer the caller owns. (Names back to text for the log: logtext.h.)
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

// The well-formed UTF-8 sequence at text[i]: its length, with its code
// point in *cp, or 0 when the bytes there are not one.
size_t utf8_sequence(std::string_view text, size_t i, uint32_t* cp);
