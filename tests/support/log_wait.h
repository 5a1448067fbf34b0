// Waiting for log lines of a server that logs some events (a closed
// connection) only after its client has moved on.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

// Calls lines() until it gives at least n lines, for a few seconds at most;
// returns its last answer.
template <class Lines>
std::vector<std::string> wait_for_n_lines(Lines lines, size_t n) {
    for (int i = 0; i < 500; ++i) {
        std::vector<std::string> found = lines();
        if (found.size() >= n) return found;
        usleep(10 * 1000);
    }
    return lines();
}
