#include "fakes.h"

#include <cstring>
#include <deque>

#include "ndsauth/ndsauth.h"

namespace {

std::deque<uint8_t> g_script;
uint64_t g_state = 0x9E3779B97F4A7C15ull;
size_t g_drawn = 0;
NdsHandler g_handler;
std::vector<NdsCall> g_calls;

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

void set_nds_handler(NdsHandler h) {
    g_handler = std::move(h);
    g_calls.clear();
}
const std::vector<NdsCall>& nds_calls() { return g_calls; }

// Behaves as the fragment layer does towards its callers: the reply payload
// is appended at the reply cursor as far as the storage holds it, and the
// reply is ended there, ready to parse.
int ncp_send_nds_frag(NcpConnection*, const NWDSBuf* request, NWDSBuf* reply) {
    if (request->failed || !g_handler) return 1;
    size_t len = 0;
    const uint8_t* data = NWDSBufRetrieve(request, &len);
    Bytes req(data, data + len);
    g_calls.push_back({request->operation, req});
    std::optional<Bytes> answer = g_handler(request->operation, req);
    if (!answer) return 1;
    NWDSBufAppendReply(reply, *answer);
    NWDSBufEndReply(reply);
    return 0;
}
