// The staged-modulus state of the modular product, and the single digit step
// of its reduction. Internal to the arithmetic and its tests: the tests read
// these globals to see that staging computes them and that smith_burn wipes
// them.
#pragma once

#include <cstdint>

#include "mparith/mparith.h"

namespace smith {

extern MpUnit modulus[MP_MAX_UNITS];           // copy of the staged modulus
extern MpUnit* modmpl;                         // &modulus[0] while staged, else null
extern int16_t nbits;                          // bit length of the modulus
extern int16_t modlenMULTUNITS;                // its length in units
extern MpUnit mod_divisor[4];                  // its top 32 bits (3 units used)
extern MpUnit mod_quotient[4];                 // reciprocal of mod_divisor, plus one
extern int32_t mshift;                         // right shift of the digit estimate
extern MpUnit recipl, reciph;                  // units 0 and 1 of mod_quotient
extern MpUnit mutemp;                          // the last digit estimate
extern MpUnit ds_data[2 * MP_MAX_UNITS + 2];   // double-length product from unit 1

// One digit of the reduction on the complemented working product. `window`
// points at the window's lowest unit; window[modlenMULTUNITS] is its top unit.
// Adds q times the staged modulus, then corrects q in either direction until
// the window holds the complement of a value in [0, modulus). Corrects any q
// for which |true window - q * modulus| < 2^15 * modulus.
void reduce_digit(MpUnit* window, MpUnit q);

}  // namespace smith
