// What the reliability tests need beyond the shared process support: the
// helper's resident memory from /proc, a copy of its writable memory, a
// generated directory with a known answer for every request, and a
// monotonic clock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rel {

// VmRSS of the process in kB, -1 when it cannot be read.
long resident_kb(pid_t pid);

// A copy of every readable and writable mapping of the process. false when
// its memory cannot be read (no ptrace rights over it).
bool read_writable_memory(pid_t pid, std::vector<std::vector<uint8_t>>& regions);

// Where pattern occurs in any region: the number of occurrences.
size_t count_occurrences(const std::vector<std::vector<uint8_t>>& regions,
                         const std::vector<uint8_t>& pattern);

std::vector<uint8_t> from_hex(const std::string& hex);

int64_t now_ms();

// A directory of `users` users u0..u(n-1) in O=corp, each a member of three
// of `groups` groups g0..g(m-1), plus a search user, and a stream of
// requests over it with the reply each must get. A server started with
// kFailingResolve refuses to resolve kFailingUser other than with "no such
// entry", which drops a logged-in connection.
struct Workload {
    std::string directory;       // the test server's directory file
    std::string search_user;     // typeless, e.g. search.corp
    std::string search_password;
    std::vector<std::vector<int>> member_of;  // per user, its group numbers
    int groups = 0;
};
Workload make_workload(int users, int groups, uint32_t seed);
inline constexpr const char* kFailingUser = "broken.corp";
inline constexpr const char* kFailingResolve = "broken.corp:-626";

enum class Kind { Member, NonMember, Unknown, Invalid };
struct Request {
    std::string line;      // without LF
    std::string expected;  // reply without LF
    Kind kind;
};
// The i-th request of a seeded stream: members, non-members, unknown users
// and lines without a blank mixed. unknown_every: every n-th request (from
// request n/2 on) names a user that does not exist, every other one
// kFailingUser; 0 for none.
class RequestStream {
public:
    RequestStream(const Workload& w, uint32_t seed, int unknown_every, int invalid_every);
    Request next();

private:
    const Workload& w_;
    uint64_t state_;
    uint64_t index_ = 0;
    int unknown_every_;
    int invalid_every_;
    uint32_t draw(uint32_t bound);
};

}  // namespace rel
