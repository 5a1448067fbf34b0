#include "tests/frontend/test_files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "frontend/progname.h"

TempDir::TempDir() {
    char tmpl[] = "/tmp/wrenacl-front-XXXXXX";
    const char* p = mkdtemp(tmpl);
    if (p == nullptr) std::abort();
    path = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void use_program_name(const std::string& name) {
    std::string a0 = "wrenacl";
    char* argv[] = {a0.data(), const_cast<char*>(name.c_str()), nullptr};
    set_program_name(2, argv);
}
