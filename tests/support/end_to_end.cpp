#include "end_to_end.h"

ServerProcess& EndToEnd::serve(const std::string& directory, const std::vector<std::string>& options,
                               uint16_t port) {
    ServerProcess& s = servers.emplace_back(directory, options, port);
    EXPECT_NE(s.port(), 0) << "the test server did not start";
    return s;
}

HelperProcess& EndToEnd::start(const std::optional<std::string>& config, const HelperOptions& options) {
    helper = std::make_unique<HelperProcess>(config, options);
    EXPECT_GT(helper->pid(), 0) << "the helper did not start";
    return *helper;
}

void EndToEnd::finish() {
    helper->close_input();
    EXPECT_EQ(helper->rest_of_output(), "");
    EXPECT_EQ(helper->wait(), 0);
    for (const ServerProcess& s : servers) EXPECT_EQ(s.deviations(), std::vector<std::string>{}) << s.log();
}

void EndToEnd::expect_replies(const std::vector<std::pair<std::string, std::string>>& cases) {
    for (const auto& [request, reply] : cases) EXPECT_EQ(helper->ask(request), reply) << "request: " << request;
}
