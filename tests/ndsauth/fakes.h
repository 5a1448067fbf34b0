// Link-time stand-ins for the tests: a scripted random source in place of
// the operating system's generator, and a scripted directory in place of the
// NDS fragment layer (the real request buffer and verbs run on top of it).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "oracle.h"

// Bytes queued here are handed out first, in order; after them fillrandom
// continues with a fixed pseudo-random sequence. Counts every byte drawn.
void script_random(const Bytes& bytes);
void reset_random();
size_t random_drawn();

struct NdsCall {
    uint32_t verb;
    Bytes request;
};
// Answers one NDS request with the reply payload (completion code first), or
// nothing for a failed exchange.
using NdsHandler = std::function<std::optional<Bytes>(uint32_t verb, const Bytes& request)>;
void set_nds_handler(NdsHandler h);
const std::vector<NdsCall>& nds_calls();
