// The program name, from which the configuration and log file names derive.
#pragma once

#include <cstddef>

extern char myname_buffer[512];
extern char* myname;

// argv[1] when given, otherwise the invocation name; cut to 511 characters.
void set_program_name(int argc, char** argv);

// Builds "<name><ext>" into out: at most `limit` characters of name are used;
// when that text holds a '.' and does not begin with '.', it is cut at its
// last '.'. Returns 0, or 1 when out (out_size bytes) is too small.
int derive_file_name(const char* name, size_t limit, const char* ext, char* out,
                     size_t out_size);
