// The random source for the tests, linked in place of the operating
// system's generator: bytes queued here are handed out first, in order;
// after them fillrandom continues with a fixed pseudo-random sequence.
#pragma once

#include <cstddef>

#include "bytes.h"

void script_random(const Bytes& bytes);
void reset_random();
// Bytes drawn since the last reset.
size_t random_drawn();
