// Temporary directories and whole-file reads and writes for the tests.
#pragma once

#include <string>

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Points the program name at dir/name (what argv[1] would do).
void use_program_name(const std::string& name);
