// wrenacl-testserver: a small directory server that speaks NCP over TCP and
// the NDS verbs the helper uses, including its login and authentication, and
// logs every deviation from the protocol it sees.
#include <cstdio>
#include <string>

#include "testserver/directory.h"
#include "testserver/log.h"
#include "testserver/options.h"
#include "testserver/server.h"
#include "testserver/skenvelope.h"
#include "testserver/world.h"

int main(int argc, char** argv) {
    ts::World w;
    std::string error;
    if (!ts::parse_options(argc, argv, w.opt, error)) {
        std::fprintf(stderr, "wrenacl-testserver: %s\n%s", error.c_str(), ts::usage_text());
        return 2;
    }
    if (!ts::log_open(w.opt.log.empty() ? nullptr : w.opt.log.c_str())) {
        std::fprintf(stderr, "wrenacl-testserver: cannot open log %s\n", w.opt.log.c_str());
        return 2;
    }
    if (!w.opt.record_file.empty() && !ts::record_open(w.opt.record_file.c_str())) {
        std::fprintf(stderr, "wrenacl-testserver: cannot open record %s\n", w.opt.record_file.c_str());
        return 2;
    }
    if (!ts::load_directory(w.opt.directory.c_str(), w.dir, error)) {
        ts::log_line("ERROR directory %s: %s", w.opt.directory.c_str(), error.c_str());
        if (!w.opt.log.empty()) std::fprintf(stderr, "wrenacl-testserver: %s: %s\n", w.opt.directory.c_str(), error.c_str());
        return 2;
    }
    int rc = 2;
    if (!ts::crypto_init()) {
        ts::log_line("ERROR cannot load OpenSSL's legacy provider (RC2)");
    } else if (!ts::world_build(w, error)) {
        ts::log_line("ERROR %s", error.c_str());
    } else {
        rc = ts::serve(w);
    }
    ts::crypto_shutdown();
    ts::log_close();
    return rc;
}
