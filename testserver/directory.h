// The directory file: the server's name, the tree name, the users with their
// passwords and groups, and who may read "Group Membership". The format is
// described in testserver/README.md and in examples/directory.txt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "testserver/names.h"

namespace ts {

struct DirUser {
    std::vector<DnPart> name;            // typed parts, any characters
    std::string password;                // ISO 8859-1; empty when none is given
    std::vector<std::vector<DnPart>> groups;     // the user's "Group Membership"
    std::vector<std::vector<DnPart>> listed_in;  // the groups whose "Member" lists the user
    int line = 0;                        // where the user was declared
};

struct Directory {
    std::string tree;                    // tree name, ISO 8859-1
    std::vector<DnPart> server;          // the server's own typed name
    bool anyone_reads_groups = false;    // "group-read anyone"
    std::vector<DirUser> users;
    std::vector<std::vector<DnPart>> groups;  // declared or named by a member line
};

// Parses the whole file. On failure returns false and sets error to
// "line N: reason" (or "end of file: reason").
bool parse_directory(std::string_view text, Directory& out, std::string& error);

// Reads and parses a file; error also covers a file that cannot be read.
bool load_directory(const char* path, Directory& out, std::string& error);

}  // namespace ts
