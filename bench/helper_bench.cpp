// Lock-step benchmark of the helper against the test directory server: one
// request written, its reply read and checked, then the next. The helper's
// own CPU time (user + system) comes from wait4(), its peak resident memory
// from /proc (VmHWM); the helper, the server and this driver are pinned to
// one CPU together.
// The same stream goes through a floor helper that answers from an in-memory
// table (standard input and output alone), and the helper's start-up with a
// search user is timed.
//
// The system calls of the helper per check are counted in a separate run
// under strace -f -c (2000 checks of the same mix, less a start alone).
//
// Long lists: a user in 2000 groups asked for the last, and Membership group
// against a group of 5000 members asked for the last, through a relay that
// counts the round trips (bench/delay_proxy.h).
//
// A directory far away: the same relay holds everything back --far-ms (20)
// each way. Round trips per check and the median time of a check, for a
// member, a non-member and an unknown user under PingAfter negative and
// failure, and for a squid-like mix (--mix-users users, 1000, each asked for
// 3 groups in a row; a third of the checks members, a tenth of the users
// unknown) with the defaults and with PingAfter failure and CacheSeconds 60.
// --before HELPER runs the defaults' rows with an older helper too.
//
// Run from the top of the source tree:
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DWRENACL_BENCH=ON -DWRENACL_TESTS=OFF
//   cmake --build build-bench -j2 --target bench_helper
//   build-bench/bench/bench_helper [--requests 20000] [--cpu 0] [--seed 1] [--unknown-percent 2]
//   (--no-request-forms leaves out the run with "Concurrency Yes" and
//   "Charset UTF-8", for a helper that does not know those keys; --no-long
//   and --no-far leave out the long lists and the directory far away)
//
// Directory: 1000 users u0..u999 and 50 groups g0..g49 in O=corp, each user
// in 3 groups, and a search user with a 512-bit key. Requests, from the seed:
// 60 % members, 38 % non-members, 2 % unknown users (--unknown-percent changes
// that share, the non-members make up the rest); the search user also runs
// the mix without unknown users, and the mix with "Concurrency Yes" and
// "Charset UTF-8" (every request and reply with a channel ID, 0 to 7 in turn).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include "delay_proxy.h"

namespace {

struct Options {
    long requests = 20000;
    int cpu = 0;
    unsigned seed = 1;
    int users = 1000;
    int groups = 50;
    unsigned unknown_percent = 2;
    std::string helper = WRENACL_BINARY;
    std::string server = TESTSERVER_BIN;
    std::string floor = FLOOR_BINARY;
    std::string strace = "/usr/bin/strace";
    long syscall_requests = 2000;
    int latency_checks = 10;
    bool request_forms = true;
    bool long_lists = true;
    bool far = true;
    int far_ms = 20;
    int mix_users = 1000;
    std::string before;  // an older helper for the far rows
};

struct Request {
    std::string line;
    std::string reply;
};

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_helper: %s\n", what.c_str());
    std::exit(1);
}

// A child with its standard input and output on pipes, pinned to cpu (-1:
// not pinned).
struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output
    std::string pending;
};

Child spawn(const std::vector<std::string>& argv, int cpu) {
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) die("pipe");
    const pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(126);
        }
        if (dup2(to[0], STDIN_FILENO) < 0 || dup2(from[1], STDOUT_FILENO) < 0) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(to[0]);
    close(from[1]);
    return Child{pid, to[1], from[0], {}};
}

bool write_all(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t w = write(fd, s.data() + done, s.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool read_line(Child& c, std::string& line) {
    for (;;) {
        const size_t nl = c.pending.find('\n');
        if (nl != std::string::npos) {
            line = c.pending.substr(0, nl);
            c.pending.erase(0, nl + 1);
            return true;
        }
        char buf[4096];
        const ssize_t n = read(c.out, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        c.pending.append(buf, static_cast<size_t>(n));
    }
}

struct Usage {
    double cpu_s = 0;     // user + system
    double user_s = 0;
    long max_rss_kb = 0;  // VmHWM when read, else wait4's figure
};

// The peak resident memory of the program the child runs now. wait4's
// ru_maxrss would also count the image the child had between fork and exec
// (a copy of this driver), so it is read from /proc before the child ends.
long peak_rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

Usage reap(Child& c) {
    const long hwm = peak_rss_kb(c.pid);
    if (c.in >= 0) close(c.in);
    c.in = -1;
    int status = 0;
    rusage ru{};
    while (wait4(c.pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) die("wait4");
    }
    if (c.out >= 0) close(c.out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("a helper did not exit cleanly");
    Usage u;
    u.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    u.user_s = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6;
    u.max_rss_kb = hwm > 0 ? hwm : ru.ru_maxrss;
    return u;
}

std::string make_directory(const Options& o, std::vector<std::vector<int>>& member_of, std::mt19937& rng) {
    // Anyone may read memberships, so that the anonymous run gets the same
    // answers; the helper does the same work either way.
    std::string d = "tree CORP_TREE\nserver CN=NW1.O=corp\ngroup-read anyone\n"
                    "user CN=search.O=corp\npassword Bench-Pw-1\n";
    for (int g = 0; g < o.groups; ++g) d += "group CN=g" + std::to_string(g) + ".O=corp\n";
    member_of.assign(static_cast<size_t>(o.users), {});
    for (int u = 0; u < o.users; ++u) {
        d += "user CN=u" + std::to_string(u) + ".O=corp\n";
        auto& mine = member_of[static_cast<size_t>(u)];
        while (mine.size() < 3) {
            const int g = static_cast<int>(rng() % static_cast<unsigned>(o.groups));
            if (std::find(mine.begin(), mine.end(), g) != mine.end()) continue;
            mine.push_back(g);
            d += "member CN=g" + std::to_string(g) + ".O=corp\n";
        }
    }
    return d;
}

std::vector<Request> make_requests(const Options& o, const std::vector<std::vector<int>>& member_of,
                                   std::mt19937& rng) {
    std::vector<Request> out;
    for (long i = 0; i < o.requests; ++i) {
        const unsigned kind = rng() % 100;
        const int u = static_cast<int>(rng() % static_cast<unsigned>(o.users));
        const auto& mine = member_of[static_cast<size_t>(u)];
        const std::string user = "u" + std::to_string(u) + ".corp";
        if (kind < 60) {
            out.push_back({user + " g" + std::to_string(mine[rng() % 3]) + ".corp", "OK"});
        } else if (kind < 100 - o.unknown_percent) {
            int g = static_cast<int>(rng() % static_cast<unsigned>(o.groups));
            while (std::find(mine.begin(), mine.end(), g) != mine.end()) g = (g + 1) % o.groups;
            out.push_back({user + " g" + std::to_string(g) + ".corp", "ERR"});
        } else {
            out.push_back({"nobody" + std::to_string(i) + ".corp g0.corp", "ERR"});
        }
    }
    return out;
}

struct Result {
    double wall_s = 0;
    Usage usage;
};

// Runs the stream lock-step through a started child and reaps it.
Result run_stream(Child c, const std::vector<Request>& requests) {
    std::string reply;
    const double t0 = now_s();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!write_all(c.in, requests[i].line + "\n")) die("the helper stopped reading");
        if (!read_line(c, reply)) die("the helper stopped answering");
        if (reply != requests[i].reply)
            die("request " + std::to_string(i) + " '" + requests[i].line + "': got '" + reply + "', want '" +
                requests[i].reply + "'");
    }
    Result r;
    r.wall_s = now_s() - t0;
    r.usage = reap(c);
    return r;
}

void print_row(const char* name, const Result& r, const Usage& base, size_t n) {
    const double per = 1e6 / static_cast<double>(n);
    const double cpu = r.usage.cpu_s - base.cpu_s;
    const double user = r.usage.user_s - base.user_s;
    std::printf("| %s | %.0f | %.1f | %.1f | %.2f |\n", name, static_cast<double>(n) / r.wall_s, cpu * per,
                user * per, static_cast<double>(r.usage.max_rss_kb) / 1024.0);
}

// System calls by name, from the summary strace -c writes.
using Syscalls = std::map<std::string, long>;

Syscalls read_strace_summary(const std::string& path) {
    Syscalls out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        // "% time  seconds  usecs/call  calls  [errors]  syscall"
        if (w.size() < 5 || w.back() == "total" || w.back() == "syscall") continue;
        if (w[0].find_first_not_of("0123456789.") != std::string::npos) continue;
        out[w.back()] += std::atol(w[3].c_str());
    }
    return out;
}

// The helper's system calls for the requests, less those of a start alone.
Syscalls count_syscalls(const Options& o, const std::string& base, const std::string& dir,
                        const std::vector<Request>& requests) {
    const std::string start_file = dir + "/strace-start.txt", run_file = dir + "/strace-run.txt";
    {
        Child h = spawn({o.strace, "-f", "-c", "-o", start_file, o.helper, base}, o.cpu);
        std::string reply;
        if (!write_all(h.in, "x\n") || !read_line(h, reply)) die("the helper did not start under strace");
        reap(h);
    }
    run_stream(spawn({o.strace, "-f", "-c", "-o", run_file, o.helper, base}, o.cpu), requests);
    Syscalls run = read_strace_summary(run_file);
    for (const auto& [name, n] : read_strace_summary(start_file)) run[name] -= n;
    return run;
}

void print_syscalls(const Syscalls& calls, size_t checks) {
    long total = 0;
    for (const auto& [name, n] : calls) total += n;
    const double per = 1.0 / static_cast<double>(checks);
    std::printf("system calls per check: %.2f (", static_cast<double>(total) * per);
    bool first = true;
    for (const auto& [name, n] : calls) {
        if (n == 0) continue;
        std::printf("%s%s %.2f", first ? "" : ", ", name.c_str(), static_cast<double>(n) * per);
        first = false;
    }
    std::printf("); without the read of the request line: %.2f\n",
                static_cast<double>(total - (calls.count("read") ? calls.at("read") : 0)) * per);
}

// A server started on a directory file; its port.
Child start_server(const Options& o, const std::string& directory, const std::string& log, std::string& port,
                   const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {o.server, "--directory", directory, "--port", "0", "--log", log,
                                     "--user-key-bits", "512"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child c = spawn(argv, o.cpu);
    if (!read_line(c, port)) die("the server did not start");
    return c;
}

void stop_server(Child& c) {
    kill(c.pid, SIGTERM);
    int status = 0;
    waitpid(c.pid, &status, 0);
}

void write_config(const std::string& base, uint16_t port, const std::string& extra) {
    std::ofstream f(base + ".conf");
    f << "Server 127.0.0.1\nPort " << port << "\nSearchUser search.corp\nSearchPass Bench-Pw-1\n" << extra;
}

// Round trips and the median time of the checks, through the relay.
struct Far {
    double round_trips = 0;
    double median_ms = 0;
    double mean_ms = 0;
};

Far far_checks(const Options& o, const std::string& helper, const std::string& base, DelayProxy& relay,
               const std::vector<Request>& requests) {
    Child h = spawn({helper, base}, o.cpu);
    std::string reply;
    if (!write_all(h.in, "x\n") || !read_line(h, reply)) die("the helper did not start");
    const uint64_t before = relay.requests();
    std::vector<double> times;
    double sum = 0;
    for (const Request& r : requests) {
        const double t0 = now_s();
        if (!write_all(h.in, r.line + "\n") || !read_line(h, reply)) die("the helper stopped answering");
        times.push_back((now_s() - t0) * 1e3);
        sum += times.back();
        if (reply != r.reply) die("'" + r.line + "': got '" + reply + "', want '" + r.reply + "'");
    }
    Far f;
    f.round_trips = static_cast<double>(relay.requests() - before) / static_cast<double>(requests.size());
    reap(h);
    std::sort(times.begin(), times.end());
    f.median_ms = times[times.size() / 2];
    f.mean_ms = sum / static_cast<double>(requests.size());
    return f;
}

// The squid-like mix: each user asked for 3 groups in a row, a third of
// the checks members, a tenth of the users unknown.
std::vector<Request> squid_mix(const Options& o, const std::vector<std::vector<int>>& member_of, std::mt19937& rng) {
    std::vector<Request> out;
    for (int k = 0; k < o.mix_users; ++k) {
        const int u = k % o.users;
        if (rng() % 10 == 0) {
            for (int g = 0; g < 3; ++g)
                out.push_back({"nobody" + std::to_string(k) + ".corp g" + std::to_string(g) + ".corp", "ERR"});
            continue;
        }
        const auto& mine = member_of[static_cast<size_t>(u)];
        const std::string user = "u" + std::to_string(u) + ".corp";
        const size_t member_at = rng() % 3;
        for (size_t g = 0; g < 3; ++g) {
            if (g == member_at) {
                out.push_back({user + " g" + std::to_string(mine[rng() % 3]) + ".corp", "OK"});
                continue;
            }
            int other = static_cast<int>(rng() % static_cast<unsigned>(o.groups));
            while (std::find(mine.begin(), mine.end(), other) != mine.end()) other = (other + 1) % o.groups;
            out.push_back({user + " g" + std::to_string(other) + ".corp", "ERR"});
        }
    }
    return out;
}

void print_far(const char* name, const Far& f) {
    std::printf("| %s | %.2f | %.1f | %.1f |\n", name, f.round_trips, f.median_ms, f.mean_ms);
}

// Long lists: users in 2000 groups (big0..big29), and a group of 5000
// members (users m0..m4999, listed only by the group), each asked for the
// last; and the cache filled with the 2000 groups of 30 users.
void long_lists(const Options& o, const std::string& dir) {
    std::string d = "tree CORP_TREE\nserver CN=NW1.O=corp\ngroup-read logged-in\n"
                    "user CN=search.O=corp\npassword Bench-Pw-1\n";
    for (int b = 0; b < 30; ++b) {
        d += "user CN=big" + std::to_string(b) + ".O=corp\n";
        for (int g = 0; g < 2000; ++g) d += "member CN=group-of-the-big-users-" + std::to_string(g) + ".O=corp\n";
    }
    for (int m = 0; m < 5000; ++m) d += "user CN=m" + std::to_string(m) + ".O=corp\nmember-on-group CN=huge.O=corp\n";
    { std::ofstream(dir + "/long.txt") << d; }
    std::fprintf(stderr, "starting a server with long lists (5031 users' keys)...\n");
    std::string port;
    Child server = start_server(o, dir + "/long.txt", dir + "/long.log", port);
    DelayProxy relay(static_cast<uint16_t>(std::stoi(port)), 0);
    const std::string base = dir + "/long";
    std::vector<Request> filling;
    for (int round = 0; round < 2; ++round) {
        for (int b = 0; b < 30; ++b) filling.push_back({"big" + std::to_string(b) + ".corp huge.corp", "ERR"});
    }
    const struct {
        const char* name;
        const char* extra;
        std::vector<Request> requests;
    } rows[] = {
        {"user in 2000 groups, the last asked for", "",
         std::vector<Request>(300, {"big0.corp group-of-the-big-users-1999.corp", "OK"})},
        {"Membership group, a group of 5000 members, the last asked for", "Membership group\n",
         std::vector<Request>(300, {"m4999.corp huge.corp", "OK"})},
        {"CacheSeconds 60: 30 users in 2000 groups, each asked twice, the cache full", "CacheSeconds 60\n", filling},
    };
    std::printf("\n| long lists | checks | checks/s | CPU µs/check | round trips/check | peak RSS MB |\n"
                "|---|---|---|---|---|---|\n");
    for (const auto& row : rows) {
        write_config(base, relay.port(), row.extra);
        Child start = spawn({o.helper, base}, o.cpu);
        std::string reply;
        if (!write_all(start.in, "x\n") || !read_line(start, reply)) die("the helper did not start");
        const Usage alone = reap(start);
        const double n = static_cast<double>(row.requests.size());
        const uint64_t before = relay.requests();
        const Result r = run_stream(spawn({o.helper, base}, o.cpu), row.requests);
        const double trips = static_cast<double>(relay.requests() - before - 12) / n;  // less the set-up and login
        std::printf("| %s | %.0f | %.0f | %.0f | %.1f | %.2f |\n", row.name, n, n / r.wall_s,
                    (r.usage.cpu_s - alone.cpu_s) * 1e6 / n, trips, static_cast<double>(r.usage.max_rss_kb) / 1024.0);
    }
    stop_server(server);
}

// A directory far away: the relay holds everything back o.far_ms each way.
void far_away(const Options& o, const std::string& dir, const std::vector<std::vector<int>>& member_of,
              const std::vector<Request>& known, std::mt19937& rng) {
    std::string port;
    Child server = start_server(o, dir + "/directory.txt", dir + "/far.log", port);
    DelayProxy relay(static_cast<uint16_t>(std::stoi(port)), o.far_ms);
    const std::string base = dir + "/far";
    std::vector<Request> members, non_members, unknown;
    for (const Request& r : known) {
        auto& list = r.reply == "OK" ? members : non_members;
        if (static_cast<int>(list.size()) < o.latency_checks) list.push_back(r);
    }
    for (int i = 0; i < o.latency_checks; ++i) unknown.push_back({"nobody" + std::to_string(i) + ".corp g0.corp", "ERR"});
    const std::vector<Request> mix = squid_mix(o, member_of, rng);
    std::printf("\nA directory %d ms away each way (round trip %d ms): round trips per check, median and mean ms per check\n\n",
                o.far_ms, 2 * o.far_ms);
    std::printf("| check | round trips | median ms | mean ms |\n|---|---|---|---|\n");
    struct Helper {
        std::string name;
        std::string binary;
        bool new_keys;
    };
    std::vector<Helper> helpers = {{"", o.helper, true}};
    if (!o.before.empty()) helpers.push_back({"before: ", o.before, false});
    for (const Helper& h : helpers) {
        const std::vector<std::pair<std::string, std::string>> configs =
            h.new_keys ? std::vector<std::pair<std::string, std::string>>{{"PingAfter negative", ""},
                                                                          {"PingAfter failure", "PingAfter failure\n"}}
                       : std::vector<std::pair<std::string, std::string>>{{"defaults", ""}};
        for (const auto& [label, extra] : configs) {
            write_config(base, relay.port(), extra);
            print_far((h.name + "member, " + label).c_str(), far_checks(o, h.binary, base, relay, members));
            print_far((h.name + "non-member, " + label).c_str(), far_checks(o, h.binary, base, relay, non_members));
            print_far((h.name + "unknown user, " + label).c_str(), far_checks(o, h.binary, base, relay, unknown));
        }
        std::vector<std::pair<std::string, std::string>> mixes = {{"defaults", ""}};
        if (h.new_keys) mixes.push_back({"PingAfter failure, CacheSeconds 60", "PingAfter failure\nCacheSeconds 60\n"});
        for (const auto& [label, extra] : mixes) {
            write_config(base, relay.port(), extra);
            const std::string name = h.name + "squid-like mix (" + std::to_string(mix.size()) + " checks), " + label;
            print_far(name.c_str(), far_checks(o, h.binary, base, relay, mix));
        }
    }
    stop_server(server);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--no-request-forms" || a == "--no-long" || a == "--no-far") {
            if (a == "--no-request-forms") o.request_forms = false;
            if (a == "--no-long") o.long_lists = false;
            if (a == "--no-far") o.far = false;
            --i;
            continue;
        }
        if (i + 1 >= argc) die("missing value for " + a);
        if (a == "--requests") o.requests = std::atol(argv[i + 1]);
        else if (a == "--cpu") o.cpu = std::atoi(argv[i + 1]);
        else if (a == "--unknown-percent") o.unknown_percent = static_cast<unsigned>(std::atol(argv[i + 1]) % 41);
        else if (a == "--seed") o.seed = static_cast<unsigned>(std::atol(argv[i + 1]));
        else if (a == "--helper") o.helper = argv[i + 1];
        else if (a == "--server") o.server = argv[i + 1];
        else if (a == "--floor") o.floor = argv[i + 1];
        else if (a == "--strace") o.strace = argv[i + 1];
        else if (a == "--far-ms") o.far_ms = std::atoi(argv[i + 1]);
        else if (a == "--mix-users") o.mix_users = std::atoi(argv[i + 1]);
        else if (a == "--before") o.before = argv[i + 1];
        else die("unknown option " + a);
    }
    signal(SIGPIPE, SIG_IGN);
    // The driver shares the CPU too: a wake-up across CPUs costs more than
    // the work measured (an inter-processor interrupt each way, dear on a
    // virtual machine), and would be charged to the helper.
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(o.cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) die("cannot pin to CPU " + std::to_string(o.cpu));

    char tmpl[] = "/tmp/wrenacl-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp");
    const std::string dir = tmpl;
    std::mt19937 rng(o.seed);
    std::vector<std::vector<int>> member_of;
    { std::ofstream(dir + "/directory.txt") << make_directory(o, member_of, rng); }
    const std::vector<Request> requests = make_requests(o, member_of, rng);
    Options known = o;
    known.unknown_percent = 0;
    const std::vector<Request> known_requests = make_requests(known, member_of, rng);

    std::fprintf(stderr, "starting the server (%d users' keys)...\n", o.users + 1);
    Child server = spawn({o.server, "--directory", dir + "/directory.txt", "--port", "0", "--log",
                          dir + "/server.log", "--user-key-bits", "512"}, o.cpu);
    std::string port;
    if (!read_line(server, port)) die("the server did not start");

    const std::string base = dir + "/wrenacl";
    const auto config = [&](bool search, const char* extra = "") {
        std::ofstream f(base + ".conf");
        f << "Server 127.0.0.1\nPort " << port << "\n" << extra;
        if (search) f << "SearchUser search.corp\nSearchPass Bench-Pw-1\n";
    };

    // Start-up: from the start of the process to the reply to a line that
    // needs no server, median of five; and the CPU a start alone costs.
    config(true);
    std::vector<double> starts;
    Usage start_usage;
    for (int k = 0; k < 5; ++k) {
        const double t0 = now_s();
        Child h = spawn({o.helper, base}, o.cpu);
        std::string reply;
        if (!write_all(h.in, "x\n") || !read_line(h, reply) || reply != "ERR Invalid string") die("start-up failed");
        starts.push_back(now_s() - t0);
        start_usage = reap(h);
    }
    std::sort(starts.begin(), starts.end());

    const Result with_search = run_stream(spawn({o.helper, base}, o.cpu), requests);
    const Result search_known = run_stream(spawn({o.helper, base}, o.cpu), known_requests);
    const std::vector<Request> counted(requests.begin(),
                                       requests.begin() + std::min<long>(o.syscall_requests, o.requests));
    const bool have_strace = access(o.strace.c_str(), X_OK) == 0;
    Syscalls search_calls;
    if (have_strace) search_calls = count_syscalls(o, base, dir, counted);
    // The same mix with channel IDs and names read as UTF-8.
    Result forms;
    if (o.request_forms) {
        std::vector<Request> channelled = requests;
        for (size_t i = 0; i < channelled.size(); ++i) {
            const std::string id = std::to_string(i % 8) + " ";
            channelled[i].line = id + channelled[i].line;
            channelled[i].reply = id + channelled[i].reply;
        }
        config(true, "Concurrency Yes\nCharset UTF-8\n");
        forms = run_stream(spawn({o.helper, base}, o.cpu), channelled);
    }
    config(false);
    Child anon_start = spawn({o.helper, base}, o.cpu);
    const Usage anon_base = reap(anon_start);
    const Result anonymous = run_stream(spawn({o.helper, base}, o.cpu), requests);
    const Result floor = run_stream(spawn({o.floor, dir + "/directory.txt"}, o.cpu), requests);

    stop_server(server);

    std::printf("%zu lock-step requests, helper and server on CPU %d\n\n", requests.size(), o.cpu);
    std::printf("| helper | checks/s | CPU µs/check | of which user | peak RSS MB |\n|---|---|---|---|---|\n");
    const std::string mix = "wrenacl, search user, " + std::to_string(o.unknown_percent) + " % unknown users";
    print_row(mix.c_str(), with_search, start_usage, requests.size());
    print_row("wrenacl, search user, no unknown users", search_known, start_usage, known_requests.size());
    if (o.request_forms) {
        const std::string row = mix + ", Concurrency Yes, Charset UTF-8";
        print_row(row.c_str(), forms, start_usage, requests.size());
    }
    print_row("wrenacl, anonymous", anonymous, anon_base, requests.size());
    print_row("floor (in-memory table)", floor, Usage{}, requests.size());
    std::printf("\nstart-up with a search user (512-bit key): %.1f ms median (%.1f .. %.1f), %.0f µs CPU\n",
                starts[2] * 1e3, starts[0] * 1e3, starts[4] * 1e3, start_usage.cpu_s * 1e6);
    std::printf("(CPU per check: the run's CPU less that of a start alone)\n");
    if (have_strace) {
        std::printf("search user, %zu checks of the mix under strace -f -c, less a start alone:\n", counted.size());
        print_syscalls(search_calls, counted.size());
    } else {
        std::printf("system calls per check: not counted (%s not found)\n", o.strace.c_str());
    }
    std::fflush(stdout);
    if (o.long_lists) long_lists(o, dir);
    std::fflush(stdout);
    if (o.far) far_away(o, dir, member_of, known_requests, rng);

    const std::string rm = "rm -rf '" + dir + "'";
    if (std::system(rm.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return 0;
}
