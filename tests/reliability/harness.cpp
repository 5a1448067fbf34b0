#include "harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace rel {

long resident_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

namespace {

struct Mapping {
    unsigned long lo = 0, hi = 0;
    bool writable = false;
    long rss_kb = 0;
};

// The mappings of /proc/<pid>/smaps with their resident size.
std::vector<Mapping> mappings(const std::string& base) {
    std::vector<Mapping> out;
    std::ifstream smaps(base + "/smaps");
    std::string line;
    while (std::getline(smaps, line)) {
        unsigned long lo = 0, hi = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &lo, &hi, perms) == 3) {
            out.push_back(Mapping{lo, hi, perms[0] == 'r' && perms[1] == 'w', 0});
        } else if (!out.empty() && line.rfind("Rss:", 0) == 0) {
            out.back().rss_kb = std::strtol(line.c_str() + 4, nullptr, 10);
        }
    }
    return out;
}

}  // namespace

bool read_writable_memory(pid_t pid, std::vector<std::vector<uint8_t>>& regions) {
    regions.clear();
    const std::string base = "/proc/" + std::to_string(pid);
    const int fd = ::open((base + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool any = false;
    for (const Mapping& m : mappings(base)) {
        // Pages never touched hold nothing; that skips most of the areas a
        // sanitizer reserves.
        if (!m.writable || m.hi <= m.lo || m.rss_kb == 0) continue;
        // Nor can a sanitizer's shadow (terabytes, a few pages of them
        // touched) hold a copy of the helper's data.
        if (m.hi - m.lo > (1ul << 30)) continue;
        std::vector<uint8_t> copy(m.hi - m.lo);
        const ssize_t n = ::pread(fd, copy.data(), copy.size(), static_cast<off_t>(m.lo));
        if (n <= 0) continue;
        copy.resize(static_cast<size_t>(n));
        regions.push_back(std::move(copy));
        any = true;
    }
    ::close(fd);
    return any;
}

size_t count_occurrences(const std::vector<std::vector<uint8_t>>& regions,
                         const std::vector<uint8_t>& pattern) {
    if (pattern.empty()) return 0;
    size_t count = 0;
    const std::boyer_moore_horspool_searcher search(pattern.begin(), pattern.end());
    for (const auto& r : regions) {
        auto at = r.begin();
        for (;;) {
            at = std::search(at, r.end(), search);
            if (at == r.end()) break;
            ++count;
            ++at;
        }
    }
    return count;
}

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// A small fixed generator, so that a stream is the same on every machine.
uint64_t step(uint64_t& s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

}  // namespace

Workload make_workload(int users, int groups, uint32_t seed) {
    Workload w;
    w.groups = groups;
    w.search_user = "search.corp";
    w.search_password = "Srch-Pw-7f3a";
    uint64_t s = 0x9E3779B97F4A7C15ull ^ seed;
    std::string d = "tree CORP_TREE\nserver CN=NW1.O=corp\ngroup-read logged-in\n";
    d += "user CN=search.O=corp\npassword " + w.search_password + "\n";
    for (int g = 0; g < groups; ++g) d += "group CN=g" + std::to_string(g) + ".O=corp\n";
    w.member_of.resize(static_cast<size_t>(users));
    for (int u = 0; u < users; ++u) {
        d += "user CN=u" + std::to_string(u) + ".O=corp\n";
        auto& mine = w.member_of[static_cast<size_t>(u)];
        while (mine.size() < 3 && static_cast<int>(mine.size()) < groups) {
            const int g = static_cast<int>(step(s) % static_cast<uint64_t>(groups));
            if (std::find(mine.begin(), mine.end(), g) != mine.end()) continue;
            mine.push_back(g);
            d += "member CN=g" + std::to_string(g) + ".O=corp\n";
        }
    }
    w.directory = d;
    return w;
}

RequestStream::RequestStream(const Workload& w, uint32_t seed, int unknown_every, int invalid_every)
    : w_(w), state_(0xD1B54A32D192ED03ull ^ seed), unknown_every_(unknown_every), invalid_every_(invalid_every) {}

uint32_t RequestStream::draw(uint32_t bound) { return static_cast<uint32_t>(step(state_) % bound); }

Request RequestStream::next() {
    const uint64_t i = index_++;
    const auto users = static_cast<uint32_t>(w_.member_of.size());
    if (unknown_every_ > 0 && i % static_cast<uint64_t>(unknown_every_) == static_cast<uint64_t>(unknown_every_ / 2)) {
        // Every other one is the user whose resolve fails, which drops the
        // connection; the directory answers the others "no such entry".
        const bool failing = (i / static_cast<uint64_t>(unknown_every_)) % 2 == 1;
        return {(failing ? std::string(kFailingUser) : "nobody" + std::to_string(i) + ".corp") + " g0.corp", "ERR",
                Kind::Unknown};
    }
    if (invalid_every_ > 0 && i % static_cast<uint64_t>(invalid_every_) == 1)
        return {"u" + std::to_string(draw(users)) + ".corp", "ERR Invalid string", Kind::Invalid};
    // Users in turn, so that every user (and every size of group list) comes
    // early in a stream.
    const auto u = static_cast<uint32_t>(i % users);
    const auto& mine = w_.member_of[u];
    const std::string user = "u" + std::to_string(u) + ".corp";
    if (draw(3) != 0) {
        const int g = mine[draw(static_cast<uint32_t>(mine.size()))];
        return {user + " g" + std::to_string(g) + ".corp", "OK", Kind::Member};
    }
    // A group it is not in: the first one after a random start.
    const auto groups = static_cast<uint32_t>(w_.groups > 0 ? w_.groups : 1);
    for (uint32_t k = draw(groups), tries = 0; tries < groups; ++tries, k = (k + 1) % groups) {
        if (std::find(mine.begin(), mine.end(), static_cast<int>(k)) == mine.end())
            return {user + " g" + std::to_string(k) + ".corp", "ERR", Kind::NonMember};
    }
    return {user + " nogroup.corp", "ERR", Kind::NonMember};
}

}  // namespace rel
