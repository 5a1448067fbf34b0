// Stand-ins for the connection manager, the group check and the client's
// ping, linked under the request loop.
#pragma once

#include <string>
#include <vector>

struct LoopDoubles {
    std::vector<std::string> calls;  // "check <user>|<group>", "ping", "clear", "make"
    std::string member_group = "staff";  // check_group answers 0 for this group
    bool ping_ok = true;
};

extern LoopDoubles loop;
