#include "delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

namespace {

constexpr size_t kQueueLimit = 1 << 20;  // bytes held back per direction

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

struct Chunk {
    int64_t due;
    std::vector<uint8_t> bytes;
};

// One direction of one relayed connection.
struct Flow {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    size_t held = 0;
    bool closed = false;  // the reading side closed
    // NCP framing (helper to server only): bytes left of the packet being
    // relayed, and a packet head being collected.
    bool count = false;
    size_t left = 0;
    uint8_t head[8];
    size_t head_got = 0;
};

struct Pair {
    Flow up;    // helper to server
    Flow down;  // server to helper
};

// Counts the request packets that begin in bytes: each starts with an
// 8-byte head (signature, big-endian length of the whole packet).
uint64_t count_packets(Flow& f, const uint8_t* p, size_t n) {
    uint64_t packets = 0;
    while (n > 0) {
        if (f.left > 0) {
            const size_t k = n < f.left ? n : f.left;
            f.left -= k;
            p += k;
            n -= k;
            continue;
        }
        f.head[f.head_got++] = *p++;
        --n;
        if (f.head_got < 8) continue;
        const size_t length = static_cast<size_t>(f.head[4]) << 24 | static_cast<size_t>(f.head[5]) << 16 |
                              static_cast<size_t>(f.head[6]) << 8 | f.head[7];
        f.head_got = 0;
        f.left = length > 8 ? length - 8 : 0;
        ++packets;
    }
    return packets;
}

bool write_all(int fd, const std::vector<uint8_t>& b) {
    size_t done = 0;
    while (done < b.size()) {
        const ssize_t w = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

DelayProxy::DelayProxy(uint16_t server_port, int delay_ms)
    : server_port_(server_port), delay_ns_(static_cast<int64_t>(delay_ms) * 1000000) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) fail("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 16) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail("delay proxy: listen");
    port_ = ntohs(a.sin_port);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) fail("eventfd");
    thread_ = std::thread([this] { run(); });
}

DelayProxy::~DelayProxy() {
    stop_ = true;
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) != sizeof one) std::perror("eventfd");
    thread_.join();
    close(wake_);
    close(listen_);
}

void DelayProxy::run() {
    std::vector<std::unique_ptr<Pair>> pairs;
    while (!stop_) {
        std::vector<pollfd> fds = {{listen_, POLLIN, 0}, {wake_, POLLIN, 0}};
        std::vector<Flow*> readers;
        int64_t first_due = -1;
        for (auto& p : pairs) {
            for (Flow* f : {&p->up, &p->down}) {
                if (!f->closed && f->held < kQueueLimit) {
                    fds.push_back({f->from, POLLIN, 0});
                    readers.push_back(f);
                }
                if (!f->queue.empty() && (first_due < 0 || f->queue.front().due < first_due)) first_due = f->queue.front().due;
            }
        }
        int wait_ms = -1;
        if (first_due >= 0) {
            const int64_t left = first_due - now_ns();
            wait_ms = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
        }
        if (poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) fail("poll");
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(server_port_);
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                    close(client);
                    if (server >= 0) close(server);
                } else {
                    const int one = 1;
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    auto p = std::make_unique<Pair>();
                    p->up.from = p->down.to = client;
                    p->up.to = p->down.from = server;
                    p->up.count = true;
                    pairs.push_back(std::move(p));
                }
            }
        }
        for (size_t i = 0; i < readers.size(); ++i) {
            if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            Flow& f = *readers[i];
            uint8_t buf[16384];
            const ssize_t n = recv(f.from, buf, sizeof buf, 0);
            if (n <= 0) {
                f.closed = true;
                continue;
            }
            if (f.count) requests_ += count_packets(f, buf, static_cast<size_t>(n));
            f.queue.push_back(Chunk{now_ns() + delay_ns_, std::vector<uint8_t>(buf, buf + n)});
            f.held += static_cast<size_t>(n);
        }
        // What is due goes on; a flow whose reader closed and whose queue is
        // empty closes its writer's side, and a pair with both sides done goes.
        const int64_t now = now_ns();
        for (auto& p : pairs) {
            for (Flow* f : {&p->up, &p->down}) {
                while (!f->queue.empty() && f->queue.front().due <= now) {
                    if (!write_all(f->to, f->queue.front().bytes)) f->closed = true;
                    f->held -= f->queue.front().bytes.size();
                    f->queue.pop_front();
                }
                if (f->closed && f->queue.empty()) shutdown(f->to, SHUT_WR);
            }
        }
        for (size_t i = 0; i < pairs.size();) {
            Pair& p = *pairs[i];
            if (p.up.closed && p.down.closed && p.up.queue.empty() && p.down.queue.empty()) {
                close(p.up.from);
                close(p.up.to);
                pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    for (auto& p : pairs) {
        close(p->up.from);
        close(p->up.to);
    }
}
