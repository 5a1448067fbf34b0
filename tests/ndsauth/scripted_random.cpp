#include "scripted_random.h"

#include <deque>

#include "ndsauth/ndsauth.h"

namespace {

std::deque<uint8_t> g_script;
uint64_t g_state = 0x9E3779B97F4A7C15ull;
size_t g_drawn = 0;

uint8_t next_byte() {
    g_state = g_state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint8_t>(g_state >> 56);
}

}  // namespace

void script_random(const Bytes& bytes) { g_script.insert(g_script.end(), bytes.begin(), bytes.end()); }
void reset_random() {
    g_script.clear();
    g_drawn = 0;
}
size_t random_drawn() { return g_drawn; }

int fillrandom(void* p, size_t n) {
    auto* out = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) {
        if (!g_script.empty()) {
            out[i] = g_script.front();
            g_script.pop_front();
        } else {
            out[i] = next_byte();
        }
    }
    g_drawn += n;
    return 0;
}
