#include "frontend/percent.h"

namespace {

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

}  // namespace

unsigned char _convertfromhex(const char* digits) {
    return static_cast<unsigned char>(hex_value(digits[0]) * 16 + hex_value(digits[1]));
}

int translate_stringfrom_percent(char* text) {
    char* out = text;
    const char* in = text;
    int nul = 0;
    while (*in != '\0') {
        if (in[0] == '%' && in[1] == '%') {
            *out++ = '%';
            in += 2;
        } else if (in[0] == '%' && in[1] == '0' && in[2] == '0') {
            nul = 1;
            *out++ = *in++;
        } else if (in[0] == '%' && is_hex_digit(in[1]) && is_hex_digit(in[2])) {
            *out++ = static_cast<char>(_convertfromhex(in + 1));
            in += 3;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
    return nul;
}
