// The network side: listens on one TCP address, serves any number of
// connections from one poll loop, stops on SIGTERM or SIGINT.
#pragma once

#include "testserver/world.h"

namespace ts {

// Blocks SIGTERM and SIGINT, binds, prints the port on the first stdout line,
// and serves until a stop signal arrives. Returns 0 after a clean stop, 1
// when the socket cannot be set up.
int serve(World& w);

}  // namespace ts
