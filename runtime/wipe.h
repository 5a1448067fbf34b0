// Wiping secrets: the one way the project clears key material, password
// copies and other intermediates so that the compiler cannot drop the stores.
#pragma once

#include <cstddef>

namespace rt {

void wipe(void* p, size_t n);

template <typename T>
void wipe_object(T& obj) { wipe(&obj, sizeof obj); }

}  // namespace rt
