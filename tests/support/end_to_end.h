// The helper process against test server processes, the fixture of the
// tests that run both: servers started and kept for the test, the helper
// started with its configuration, and the end every run must have.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "helper_process.h"
#include "server_process.h"

class EndToEnd : public ::testing::Test {
protected:
    // Starts a server with the directory and options on port (0: a free one).
    ServerProcess& serve(const std::string& directory, const std::vector<std::string>& options = {},
                         uint16_t port = 0);
    // Starts the helper with the configuration (none: no configuration file).
    HelperProcess& start(const std::optional<std::string>& config, const HelperOptions& options = {});
    // Ends the helper's input, as a proxy does at shutdown: the helper writes
    // nothing more and exits with status 0, and no server saw a deviation.
    void finish();
    // Asks each request in turn and compares the replies, naming the
    // request that got a wrong one.
    void expect_replies(const std::vector<std::pair<std::string, std::string>>& cases);

    std::list<ServerProcess> servers;
    std::unique_ptr<HelperProcess> helper;
};
