// A private temporary directory for a test, removed with its files, and
// whole-file reads and writes.
#pragma once

#include <string>

class TempDir {
public:
    // Under $TMPDIR, or /tmp; aborts when none can be made.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& content);
// The whole file; "" when it cannot be read.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
