// The directory the end-to-end tests serve and the helper's configuration.
#pragma once

#include <string>

#include "end_to_end.h"

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

