// Stored group names (the values of "Group Membership": typed names as
// little-endian 16-bit code units, normally ending with a zero unit) against
// a requested group in typeless dotted form, given as code units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// How letters compare.
enum LetterCase {
    CASE_EXACT = 0,    // every unit as it is
    CASE_FOLD_LATIN1,  // fold_unit where both the unit and its folding lie
                       // within ISO 8859-1 (units 0..0xFF); others as they are
    CASE_FOLD,         // fold_unit on every unit
};

// 0 when the stored name names the group; 1 otherwise. After a leading '.'
// and a leading "CN=" (either case of the two letters) of the stored name,
// each '.' with the type and '=' after it stands for one '.' of the group,
// and every other unit must be equal after the letter case rule. One
// leading '.' of the group is skipped; the group ends at the end of the
// span (or at a zero unit in it). A stored name without a zero unit never
// matches.
int compare_group_units(std::span<const uint8_t> name, std::span<const uint16_t> group, LetterCase letters);

// The stored name in the typeless form of a request, unit by unit
// ('CN=staff.OU=sales.O=acme' gives 'staff.sales.acme'): past a leading '.'
// and "CN=", each '.' stands for itself with the type and '=' after it
// left out; the name ends at its zero unit or at the end of its bytes.
struct TypelessName {
    std::span<const uint8_t> bytes;
    size_t position;  // in units
};
TypelessName typeless_begin(std::span<const uint8_t> name);
// The next unit into *unit; false at the end of the name.
bool typeless_next(TypelessName* name, uint16_t* unit);

// Names compared as the directory compares them: component by component,
// the type label of each ("OU=") left out on either side, letter case
// folded, a leading '.' ignored. member_key writes the form a name is
// compared in (at most name.size() units; 0 when out is too small);
// compare_member_units says whether a stored name (a "Member" value, up to
// its zero unit) has that form: 0 when it does, 1 otherwise.
size_t member_key(std::span<const uint16_t> name, std::span<uint16_t> out);
int compare_member_units(std::span<const uint8_t> stored, std::span<const uint16_t> key);
