#include "testserver/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <vector>

#include "runtime/fd.h"
#include "testserver/framing.h"
#include "testserver/log.h"
#include "testserver/session.h"

namespace ts {
namespace {

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A reply held back by --reply-delay or sent a byte at a time by --trickle.
struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t sent = 0;
    int64_t due_ms = 0;  // when its next byte (or the whole rest) goes out
};

struct Client {
    rt::UniqueFd fd;
    Session session;
    std::vector<uint8_t> in;
    std::deque<Outgoing> out;
    uint32_t serial = 0;
};

bool send_all(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Handles every whole request buffered for a client. False when the
// connection is to be closed.
bool drain(World& w, Client& c) {
    while (true) {
        size_t len = 0;
        std::string why;
        const Frame f = frame_request(c.in, len, why);
        if (f == Frame::Need) return true;
        if (f == Frame::Bad) {
            deviation(c.session.id, "%s; connection closed", why.c_str());
            return false;
        }
        const Response r = handle_packet(w, c.session, std::span<const uint8_t>(c.in).first(len));
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(len));
        if (r.what == Outcome::Close) return false;
        if (r.what != Outcome::Reply) continue;
        if (w.opt.reply_delay_ms <= 0 && w.opt.trickle_ms <= 0) {
            if (!send_all(c.fd.get(), r.bytes)) return false;
            continue;
        }
        c.out.push_back(Outgoing{r.bytes, 0, now_ms() + (w.opt.reply_delay_ms > 0 ? w.opt.reply_delay_ms : 0)});
    }
}

// Sends what is due of a client's held-back replies. False when the
// connection is to be closed.
bool send_due(const World& w, Client& c, int64_t now) {
    while (!c.out.empty() && c.out.front().due_ms <= now) {
        Outgoing& o = c.out.front();
        const size_t n = w.opt.trickle_ms > 0 ? 1 : o.bytes.size() - o.sent;
        const ssize_t r = ::send(c.fd.get(), o.bytes.data() + o.sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (r <= 0) return false;
        o.sent += static_cast<size_t>(r);
        if (o.sent == o.bytes.size()) {
            c.out.pop_front();
        } else if (w.opt.trickle_ms > 0) {
            o.due_ms = now + w.opt.trickle_ms;
            return true;
        }
    }
    return true;
}

rt::UniqueFd listen_on(const World& w, uint16_t& port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(w.opt.port));
    if (inet_pton(AF_INET, w.opt.address.c_str(), &a.sin_addr) != 1) {
        log_line("ERROR address %s is not an IPv4 address", w.opt.address.c_str());
        return rt::UniqueFd();
    }
    rt::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) { log_line("ERROR socket: %s", std::strerror(errno)); return rt::UniqueFd(); }
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        log_line("ERROR setsockopt: %s", std::strerror(errno));
        return rt::UniqueFd();
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        log_line("ERROR bind %s:%d: %s", w.opt.address.c_str(), w.opt.port, std::strerror(errno));
        return rt::UniqueFd();
    }
    if (::listen(fd.get(), 64) != 0) { log_line("ERROR listen: %s", std::strerror(errno)); return rt::UniqueFd(); }
    socklen_t alen = sizeof a;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
        log_line("ERROR getsockname: %s", std::strerror(errno));
        return rt::UniqueFd();
    }
    port = ntohs(a.sin_port);
    return fd;
}

// The poll loop shared by the process and the thread. wake_fd becomes
// readable to stop the loop or to hand it new connections; on_wake reads it
// and says whether to stop. listen_fd may be -1. The world is touched only
// with mu held.
class Loop {
public:
    Loop(World& w, std::mutex& mu) : w_(w), mu_(mu) {}

    void add(rt::UniqueFd fd) {
        Client& c = clients_.emplace_back();
        c.fd = std::move(fd);
        c.serial = ++serial_;
        if (w_.opt.verbose) log_line("ACCEPTED connection %u", c.serial);
    }

    template <class OnWake>
    int run(int wake_fd, int listen_fd, OnWake on_wake) {
        while (true) {
            std::vector<pollfd> fds;
            fds.push_back(pollfd{wake_fd, POLLIN, 0});
            fds.push_back(pollfd{listen_fd, POLLIN, 0});
            int64_t first_due = -1;
            for (const Client& c : clients_) {
                fds.push_back(pollfd{c.fd.get(), POLLIN, 0});
                if (!c.out.empty() && (first_due < 0 || c.out.front().due_ms < first_due)) first_due = c.out.front().due_ms;
            }
            int wait_ms = -1;
            if (first_due >= 0) wait_ms = static_cast<int>(std::clamp<int64_t>(first_due - now_ms(), 0, 60000));
            const int n = ::poll(fds.data(), fds.size(), wait_ms);
            if (n < 0) {
                if (errno == EINTR) continue;
                log_line("ERROR poll: %s", std::strerror(errno));
                return 1;
            }
            if (fds[0].revents != 0 && on_wake(*this)) return 0;
            const std::lock_guard<std::mutex> lock(mu_);
            serve_clients(fds);
            send_all_due();
            if (fds[1].revents != 0) accept_one(listen_fd);
        }
    }

private:
    // Clients first, in the order polled; accepted ones join the next round.
    void serve_clients(const std::vector<pollfd>& fds) {
        size_t i = 2;
        for (auto it = clients_.begin(); it != clients_.end(); ++i) {
            bool keep = true;
            if (fds[i].revents != 0) {
                uint8_t buf[8192];
                const ssize_t got = ::recv(it->fd.get(), buf, sizeof buf, 0);
                if (got < 0 && errno == EINTR) { ++it; continue; }
                if (got <= 0) {
                    keep = false;
                } else {
                    it->in.insert(it->in.end(), buf, buf + got);
                    keep = drain(w_, *it);
                }
            }
            if (keep) { ++it; continue; }
            log_line("CLOSED conn=%u after %u requests", it->session.id, it->session.requests);
            it = clients_.erase(it);
        }
    }

    void send_all_due() {
        const int64_t now = now_ms();
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (send_due(w_, *it, now)) { ++it; continue; }
            log_line("CLOSED conn=%u after %u requests", it->session.id, it->session.requests);
            it = clients_.erase(it);
        }
    }

    void accept_one(int listen_fd) {
        rt::UniqueFd cfd(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (!cfd.valid()) {
            log_line("ERROR accept: %s", std::strerror(errno));
            return;
        }
        add(std::move(cfd));
    }

    World& w_;
    std::mutex& mu_;
    std::list<Client> clients_;
    uint32_t serial_ = 0;
};

}  // namespace

int serve(World& w) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) { log_line("ERROR sigprocmask"); return 1; }
    rt::UniqueFd sfd(::signalfd(-1, &stop, SFD_CLOEXEC));
    if (!sfd.valid()) { log_line("ERROR signalfd: %s", std::strerror(errno)); return 1; }

    uint16_t port = 0;
    rt::UniqueFd lfd = listen_on(w, port);
    if (!lfd.valid()) return 1;
    std::printf("%u\n", port);
    std::fflush(stdout);
    log_line("LISTENING %s:%u", w.opt.address.c_str(), port);

    std::mutex mu;
    Loop loop(w, mu);
    return loop.run(sfd.get(), lfd.get(), [](Loop&) {
        log_line("STOP");
        return true;
    });
}

bool ThreadServer::start(World& w) {
    w_ = &w;
    listen_ = listen_on(w, port_);
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!listen_.valid() || !wake_.valid()) return false;
    thread_ = std::thread([this] {
        Loop loop(*w_, mu_);
        loop.run(wake_.get(), listen_.get(), [this](Loop& l) {
            uint64_t n = 0;
            if (::read(wake_.get(), &n, sizeof n) < 0 && errno != EAGAIN) return true;
            const std::lock_guard<std::mutex> lock(mu_);
            for (rt::UniqueFd& fd : handed_) l.add(std::move(fd));
            handed_.clear();
            return stopping_;
        });
    });
    return true;
}

sockaddr_in ThreadServer::address() const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    inet_pton(AF_INET, w_ != nullptr ? w_->opt.address.c_str() : "127.0.0.1", &a.sin_addr);
    return a;
}

void ThreadServer::wake() {
    const uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) != sizeof one) log_line("ERROR eventfd write: %s", std::strerror(errno));
}

int ThreadServer::connect_pair() {
    int fds[2];
    if (!thread_.joinable() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    {
        const std::lock_guard<std::mutex> lock(mu_);
        handed_.emplace_back(fds[1]);
    }
    wake();
    return fds[0];
}

void ThreadServer::stop() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    listen_.reset();
    wake_.reset();
}

}  // namespace ts
