// Buffered reading of request lines from a descriptor.
#pragma once

#include <cstddef>

struct LineReader {
    int fd;
    size_t pos;
    size_t end;
    bool at_end;
    char buf[4096];
};

enum LineStatus {
    LINE_END = 0,       // input ended (or failed) before any character
    LINE_OK = 1,        // a line without its LF, zero-terminated, in out
    LINE_TOO_LONG = 2,  // a line longer than the room; consumed, out holds its
                        // first out_size - 1 bytes (zero-terminated), no more
};

void line_reader_init(LineReader* r, int fd);

// Reads the next line into out (capacity out_size, terminator included). A
// last line without LF is a line. A read error ends the input; a partial
// line read before it is dropped, never handed on cut short.
LineStatus read_request_line(LineReader* r, char* out, size_t out_size);
