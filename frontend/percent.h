// Percent decoding of request names, in place.
#pragma once

// Decodes "%XX" (upper-case hexadecimal digits only) and "%%" in place; any
// other '%' is copied as it stands. The result is never longer than the text.
void translate_stringfrom_percent(char* text);

// The byte value of two checked hexadecimal digits.
unsigned char _convertfromhex(const char* digits);
