// The floor for the helper benchmark: a group-check helper that answers from
// an in-memory table built from a test-server directory file, reading and
// writing its lines the way wrenacl does (a 4 KB read buffer, one write per
// reply). Its cost per check is what standard input and output alone cost.
//
//   floor_helper DIRECTORY-FILE
//
// Names are looked up typeless (u1.corp, g7.corp), as the driver sends them.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace {

// CN=u1.O=corp -> u1.corp
std::string typeless(const std::string& dn) {
    std::string out;
    size_t at = 0;
    while (at < dn.size()) {
        const size_t eq = dn.find('=', at);
        const size_t dot = dn.find('.', at);
        const size_t start = eq != std::string::npos && (dot == std::string::npos || eq < dot) ? eq + 1 : at;
        const size_t end = dn.find('.', start);
        if (!out.empty()) out += '.';
        out += dn.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

bool write_all(const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(STDOUT_FILENO, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::unordered_map<std::string, std::unordered_set<std::string>> table;
    std::ifstream in(argv[1]);
    std::string line, user;
    while (std::getline(in, line)) {
        if (line.rfind("user ", 0) == 0) {
            user = typeless(line.substr(5));
            table[user];
        } else if (line.rfind("member ", 0) == 0 && !user.empty()) {
            table[user].insert(typeless(line.substr(7)));
        }
    }

    char buf[4096];
    std::string pending;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            const std::string req = pending.substr(start, nl - start);
            const size_t blank = req.find(' ');
            const char* reply = "ERR Invalid string\n";
            if (blank != std::string::npos) {
                const auto u = table.find(req.substr(0, blank));
                const bool member = u != table.end() && u->second.count(req.substr(blank + 1)) != 0;
                reply = member ? "OK\n" : "ERR\n";
            }
            if (!write_all(reply, std::strlen(reply))) return 0;
        }
        pending.erase(0, start);
    }
    return 0;
}
