// Host names of the test's own: /etc/hosts replaced, for the calling thread,
// by a file with the given lines (a private mount namespace with the file
// bound over /etc/hosts). Only root may do this; elsewhere the test skips.
#pragma once

#include <string>

// False when the namespace or the mount is not allowed.
bool use_hosts_file(const std::string& lines);
