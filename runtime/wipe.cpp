#include "runtime/wipe.h"

#include <string.h>

namespace rt {

void wipe(void* p, size_t n) {
    if (p != nullptr && n != 0) explicit_bzero(p, n);
}

}  // namespace rt
