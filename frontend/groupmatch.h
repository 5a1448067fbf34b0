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

// The stored name in the typeless form of a request, '.' first
// ('CN=staff.OU=sales.O=acme' gives '.staff.sales.acme'), for the debug log.
// With utf8 the units are written as UTF-8; without, as the log has always
// had them: the low byte of every unit (log_units_put). Cut to fit out
// (always zero-terminated).
void stored_name_for_log(std::span<const uint8_t> name, bool utf8, char* out, size_t out_size);
