// The CBC routines with the expanded-key storage supplied by the caller.
// nwencryptblock/nwdecryptblock pass a schedule on their own stack; the
// schedule is always overwritten with zeros before these return, which lets
// the tests see the wipe.
#pragma once

#include <cstdint>
#include <span>

#include "nwcrypto/nwcrypto.h"

void nwencryptblock_using(NwCryptKey* schedule, std::span<const uint8_t, 8> key, const uint8_t* in,
                          int len, uint8_t* out);
void nwdecryptblock_using(NwCryptKey* schedule, std::span<const uint8_t, 8> key, const uint8_t* in,
                          int len, uint8_t* out);
