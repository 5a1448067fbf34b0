// The network side: one poll loop serves any number of connections. The
// process listens on one TCP address and stops on SIGTERM or SIGINT; tests
// run the same loop on a thread of their own (ThreadServer).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/fd.h"
#include "testserver/world.h"

namespace ts {

// Blocks SIGTERM and SIGINT, binds, prints the port on the first stdout line,
// and serves until a stop signal arrives. Returns 0 after a clean stop, 1
// when the socket cannot be set up.
int serve(World& w);

// The server on a thread of the calling process: it listens on the loopback
// port of w.opt (0: any free one) and also serves socket ends handed to it.
// The world is only touched under the server's lock, so a test may change
// switches between requests with with().
class ThreadServer {
public:
    ThreadServer() = default;
    ~ThreadServer() { stop(); }
    ThreadServer(const ThreadServer&) = delete;
    ThreadServer& operator=(const ThreadServer&) = delete;

    // Binds and starts the thread; w must outlive the server. False when the
    // socket cannot be set up.
    bool start(World& w);
    uint16_t port() const { return port_; }
    sockaddr_in address() const;
    // One end of a new socket pair whose other end the loop serves; the
    // caller owns it. -1 when no pair could be made.
    int connect_pair();
    // Runs f(world) under the lock and returns its result.
    template <class F>
    auto with(F&& f) {
        const std::lock_guard<std::mutex> lock(mu_);
        return f(*w_);
    }
    // Ends the thread and closes every connection it served.
    void stop();

private:
    void wake();
    World* w_ = nullptr;
    uint16_t port_ = 0;
    rt::UniqueFd listen_;
    rt::UniqueFd wake_;
    std::mutex mu_;
    std::vector<rt::UniqueFd> handed_;  // ends waiting for the loop, under mu_
    bool stopping_ = false;             // under mu_
    std::thread thread_;
};

}  // namespace ts
