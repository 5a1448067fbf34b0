// The monotonic clock every deadline and back-off is measured on.
#pragma once

#include <cstdint>

namespace rt {

constexpr int64_t NS_PER_SECOND = 1000000000;

// CLOCK_MONOTONIC in nanoseconds, read through the vDSO (no system call).
int64_t clock_ns();

}  // namespace rt
