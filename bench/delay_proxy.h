// A TCP relay on loopback that holds everything back a fixed time each way,
// as a link to a directory far away would: the helper connects to it, it
// connects to the server. It counts the NCP requests the helper sends (the
// round trips). Its queues are bounded: a side that is far ahead is not read
// until the other catches up.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class DelayProxy {
public:
    // Listens on a free loopback port; relays to 127.0.0.1:server_port.
    DelayProxy(uint16_t server_port, int delay_ms);
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    uint16_t port() const { return port_; }
    // NCP requests relayed to the server so far.
    uint64_t requests() const { return requests_.load(); }

private:
    void run();
    uint16_t server_port_;
    int64_t delay_ns_;
    int listen_ = -1;
    int wake_ = -1;
    uint16_t port_ = 0;
    std::atomic<uint64_t> requests_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
