#include "hosts_file.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

bool use_hosts_file(const std::string& lines) {
    if (geteuid() != 0) return false;
    char path[] = "/tmp/wrenacl-hosts-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return false;
    close(fd);
    std::ofstream(path) << "127.0.0.1 localhost\n" << lines;
    const bool ok = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    unlink(path);  // the mount keeps the file
    return ok;
}
