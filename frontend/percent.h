// Percent decoding of request names, in place.
#pragma once

// Decodes "%XX" (upper-case hexadecimal digits only) and "%%" in place; any
// other '%' is copied as it stands. The result is never longer than the text.
// "%00" would end the name early, so that another name is checked than the
// one asked for: it is kept as it stands and the result is 1 (the name is to
// be refused); otherwise 0.
int translate_stringfrom_percent(char* text);

// The byte value of two checked hexadecimal digits.
unsigned char _convertfromhex(const char* digits);
