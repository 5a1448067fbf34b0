// Letter case folding of single 16-bit code units, for comparing names
// without regard to case.
#pragma once

#include <cstdint>

// The unit's simple case folding (the lower-case form that Unicode's
// CaseFolding.txt gives with status C or S) for the letters of Basic Latin,
// ISO 8859-1, Latin Extended-A and -B, Latin Extended Additional, Greek and
// Coptic, Greek Extended, Cyrillic and Cyrillic Supplement. Every other unit,
// surrogates included, is returned as it is. Folding a folded unit changes
// nothing. Letters without a one-unit folding (ß, ŉ, İ) stay as they are.
uint16_t fold_unit(uint16_t unit);
