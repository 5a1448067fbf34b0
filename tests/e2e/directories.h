// The directory the end-to-end tests serve, and what they expect of every run.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper_process.h"
#include "server_process.h"

// alice has two groups; dave's group has a blank; jürgen and his group are
// written in ISO 8859-1; carol has many groups with long names (for replies
// over many fragments); bob has none.
inline std::string e2e_directory(bool anyone_reads_groups) {
    std::string d = acme_directory_head() +
        "user CN=Ann Smith.OU=sales.O=acme\n"
        "member CN=sales team.OU=sales.O=acme\n"
        "user CN=dave.O=acme\n"
        "member CN=sales team.OU=sales.O=acme\n"
        "user CN=bob.O=acme\n"
        "user CN=carol.OU=eng.O=acme\n";
    for (int i = 1; i <= 40; ++i) {
        d += "member CN=project-" + std::to_string(i) + "-with-a-rather-long-name.OU=eng.O=acme\n";
    }
    d += "charset iso-8859-1\n"
         "user CN=j\xFCrgen.OU=ops.O=acme\n"
         "member CN=\xDC" "berwachung.OU=ops.O=acme\n";
    d += anyone_reads_groups ? "group-read anyone\n" : "group-read logged-in\n";
    return d;
}

inline std::string search_user_config(uint16_t port, const std::string& password = "Search-Pass1") {
    return helper_config(port, "SearchUser search.acme\nSearchPass " + password + "\n");
}

inline std::string started_line(uint16_t port, const std::string& user = "", bool percent = false) {
    return "wrenacl started. server=127.0.0.1:" + std::to_string(port) + ", SearchUser:" + user +
           ", ConvertPercent:" + (percent ? "Yes" : "No") + ".";
}

// Asks each request in turn and compares the replies, naming the request
// that got a wrong one.
inline void expect_replies(HelperProcess& helper,
                           const std::vector<std::pair<std::string, std::string>>& cases) {
    for (const auto& [request, reply] : cases) {
        EXPECT_EQ(helper.ask(request), reply) << "request: " << request;
    }
}

inline void expect_no_deviation(const ServerProcess& server) {
    EXPECT_EQ(server.deviations(), std::vector<std::string>{}) << server.log();
}
