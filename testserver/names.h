// Directory names as the server compares them: 16-bit code units, as they
// travel on the wire (characters beyond U+FFFF as surrogate pairs).
//
// A name is a dotted list of parts, most specific first. Each part is either
// typed ("CN=alice") or typeless ("alice"). One leading '.' is allowed and
// means the same name. Comparison ignores letter case (the C library's
// Unicode case mappings, through upper case to lower case), and a typeless
// part of a query matches a part of any type.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ts {

struct DnPart {
    std::u16string type;   // empty for a typeless part
    std::u16string value;
};

// Splits a name into parts. False for an empty name, an empty part, a part
// with an empty type or value, or a type that is not all ASCII letters.
bool parse_dn(std::u16string_view text, std::vector<DnPart>& out);

// True when query names the entry whose typed parts are given.
bool dn_matches(const std::vector<DnPart>& entry, const std::vector<DnPart>& query);

// The typed form "CN=a.OU=b.O=c" of parsed parts, as units and as UTF-8.
std::u16string dn_format(const std::vector<DnPart>& parts);
std::string dn_text(const std::vector<DnPart>& parts);

// One unit without regard to letter case; names compare equal when their
// units fold alike.
char16_t name_fold(char16_t unit);
bool names_iequal(std::u16string_view a, std::u16string_view b);

// ISO 8859-1 upper case of one character (a-z and the accented letters),
// for attribute names.
char latin1_upper(char c);
bool latin1_iequal(std::string_view a, std::string_view b);

// Wire units to ISO 8859-1; false when a unit is above 0xFF.
bool units_to_latin1(std::u16string_view units, std::string& out);
std::u16string latin1_to_units(std::string_view text);

// Strict UTF-8 (the C library's converter) to units; false for malformed
// UTF-8 (overlong forms, surrogates, beyond U+10FFFF, cut sequences).
bool utf8_to_units(std::string_view text, std::u16string& out);
// Units to UTF-8 for the log; a surrogate that is not half of a pair
// becomes U+FFFD.
std::string units_to_utf8(std::u16string_view units);

}  // namespace ts
