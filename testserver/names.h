// Directory names as the server compares them. Names are kept as ISO 8859-1
// byte strings; on the wire they travel as 16-bit units, one per character.
//
// A name is a dotted list of parts, most specific first. Each part is either
// typed ("CN=alice") or typeless ("alice"). One leading '.' is allowed and
// means the same name. Comparison ignores letter case (ISO 8859-1), and a
// typeless part of a query matches a part of any type.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ts {

struct DnPart {
    std::string type;   // empty for a typeless part
    std::string value;
};

// Splits a name into parts. False for an empty name, an empty part, a part
// with an empty type or value, or a type that is not all letters.
bool parse_dn(std::string_view text, std::vector<DnPart>& out);

// True when query names the entry whose typed parts are given.
bool dn_matches(const std::vector<DnPart>& entry, const std::vector<DnPart>& query);

// The typed form "CN=a.OU=b.O=c" of parsed parts.
std::string dn_format(const std::vector<DnPart>& parts);

// ISO 8859-1 upper case of one character (a-z and the accented letters).
char latin1_upper(char c);
bool latin1_iequal(std::string_view a, std::string_view b);

// Wire units to ISO 8859-1; false when a unit is above 0xFF.
bool units_to_latin1(std::u16string_view units, std::string& out);
std::u16string latin1_to_units(std::string_view text);

}  // namespace ts
