#include "frontend/progname.h"

#include <cstring>

char myname_buffer[512];
char* myname = myname_buffer;

void set_program_name(int argc, char** argv) {
    const char* src = "";
    if (argc > 1 && argv[1] != nullptr) {
        src = argv[1];
    } else if (argc > 0 && argv[0] != nullptr) {
        src = argv[0];
    }
    size_t n = strnlen(src, sizeof myname_buffer - 1);
    std::memcpy(myname_buffer, src, n);
    myname_buffer[n] = '\0';
    myname = myname_buffer;
}

int derive_file_name(const char* name, size_t limit, const char* ext, char* out,
                     size_t out_size) {
    size_t n = strnlen(name, limit);
    if (n > 0 && name[0] != '.') {
        for (size_t i = n; i > 0; --i) {
            if (name[i - 1] == '.') {
                n = i - 1;
                break;
            }
        }
    }
    size_t e = std::strlen(ext);
    if (n + e + 1 > out_size) return 1;
    std::memcpy(out, name, n);
    std::memcpy(out + n, ext, e);
    out[n + e] = '\0';
    return 0;
}
