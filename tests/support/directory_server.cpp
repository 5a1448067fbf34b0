#include "directory_server.h"

#include <unistd.h>

#include <cstdio>

#include "testserver/log.h"

DirectoryServer::DirectoryServer(const std::string& directory, const Setup& setup) {
    ts::log_capture(true);
    world_.opt.record = true;
    if (setup) setup(world_.opt);
    std::string error;
    if (!ts::world_from_text(world_, directory, error)) {
        std::fprintf(stderr, "directory server: %s\n", error.c_str());
        return;
    }
    ok_ = server_.start(world_);
}

void DirectoryServer::set(const Setup& change) {
    server_.with([&](ts::World& w) {
        change(w.opt);
        w.exchanges.clear();
        w.requests.clear();
        w.fault_used = false;
    });
}

std::vector<ts::Exchange> DirectoryServer::exchanges() {
    return server_.with([](ts::World& w) { return w.exchanges; });
}

Sent DirectoryServer::sent() {
    return Sent{server_.with([](ts::World& w) { return w.requests; })};
}

const ts::UserKeys* DirectoryServer::user(const std::string& typed_dn) const {
    for (const ts::UserKeys& u : world_.users) {
        if (ts::dn_text(u.def->name) == typed_dn) return &u;
    }
    return nullptr;
}

std::string DirectoryServer::log() const { return ts::log_captured(); }

std::vector<std::string> DirectoryServer::lines(const std::string& prefix) const {
    std::vector<std::string> out;
    const std::string text = log();
    for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
        end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        if (text.compare(pos, prefix.size(), prefix) == 0) out.push_back(text.substr(pos, end - pos));
    }
    return out;
}

std::vector<std::string> DirectoryServer::wait_for_lines(const std::string& prefix, size_t n) const {
    for (int i = 0; i < 500 && lines(prefix).size() < n; ++i) usleep(10 * 1000);
    return lines(prefix);
}
